// The DICOM receiver of evenor-cli serve: the association handling, the
// storage requests and the loop that hands each received image to the
// intake. It stays one file because its parts share the server's state
// (open connections, the retry list, the stop request) and DCMTK's macros,
// which stay out of every other file; the socket, the store folder's durable
// writes and the intake itself are in their own files.

#include "cli/ServeCommand.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <thread>
#include <vector>

#include "cli/HistoryCommands.h"
#include "cli/ServeSocket.h"
#include "cli/StoreFolder.h"
#include "dicom/DicomLib.h"
#include "dicom/SharedFile.h"
#include "history/HistoryStore.h"
#include "history/Sha256.h"
#include "qa/Intake.h"
#include "qa/IntakeWorkers.h"
#include "qa/Recorder.h"

// DCMTK last: its headers define many macros.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcostrmb.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/oflog/oflog.h>

namespace evenor {

namespace {

namespace fs = std::filesystem;

// The storage classes of the images Evenor analyses.
const char* kStorageClasses[] = {
    UID_DigitalXRayImageStorageForPresentation,
    UID_DigitalXRayImageStorageForProcessing,
    UID_ComputedRadiographyImageStorage,
    UID_DigitalMammographyXRayImageStorageForPresentation,
    UID_DigitalMammographyXRayImageStorageForProcessing,
    UID_SecondaryCaptureImageStorage,
};

// Preferred first: when a sender offers several, the plain ones, which every
// version of the reader takes.
const char* kUncompressed[] = {
    UID_LittleEndianExplicitTransferSyntax,
    UID_LittleEndianImplicitTransferSyntax,
    UID_BigEndianExplicitTransferSyntax,
};
const char* kCompressed[] = {
    UID_JPEGProcess14SV1TransferSyntax,     UID_JPEGProcess14TransferSyntax, UID_JPEGLSLosslessTransferSyntax,
    UID_JPEG2000LosslessOnlyTransferSyntax, UID_RLELosslessTransferSyntax,   UID_JPEGProcess1TransferSyntax,
    UID_JPEGProcess2_4TransferSyntax,       UID_JPEGLSLossyTransferSyntax,   UID_JPEG2000TransferSyntax,
};

constexpr long kMaxReceivePdu = 131072;
// Connections whose request is still awaited; more wait in the listen queue.
constexpr std::size_t kMaxAwaitedRequests = 32;
// s before an image whose analysis the database failed is taken again.
constexpr auto kDatabaseRetry = std::chrono::seconds(30);
constexpr int kDataTimeout = 60;   // s without a PDV in the middle of a data set
constexpr int kIdleTimeout = 600;  // s without a command before an association is aborted

std::string Trimmed(const char* text)
{
    std::string value(text);
    const auto first = value.find_first_not_of(' ');
    const auto last = value.find_last_not_of(' ');
    return first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
}

// DCMTK's text of a condition, which may hold several lines, on one.
std::string OneLine(const OFCondition& status)
{
    std::string text = status.text();
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at)) text.replace(at, 1, "; ");
    return text;
}

std::string UidName(const char* uid)
{
    const char* name = dcmFindNameOfUID(uid, nullptr);
    return name != nullptr ? name : uid;
}

// The file bytes of a received data set: meta information (with the calling
// AE title as the source) and the data set in the transfer syntax it came in.
// Throws EvenorError when DCMTK cannot encode it.
std::string FileBytes(std::unique_ptr<DcmDataset> dataset, E_TransferSyntax syntax, const std::string& callingAe)
{
    DcmFileFormat file(dataset.release(), OFFalse);
    file.getMetaInfo()->putAndInsertString(DCM_SourceApplicationEntityTitle, callingAe.c_str());
    std::vector<char> buffer(1 << 20);
    DcmOutputBufferStream stream(buffer.data(), static_cast<offile_off_t>(buffer.size()));
    std::string bytes;
    file.transferInit();
    OFCondition status;
    do {
        status = file.write(stream, syntax, EET_ExplicitLength, nullptr);
        void* chunk = nullptr;
        offile_off_t length = 0;
        stream.flushBuffer(chunk, length);
        bytes.append(static_cast<const char*>(chunk), static_cast<std::size_t>(length));
    } while (status == EC_StreamNotifyClient);
    file.transferEnd();
    if (status.bad()) throw EvenorError("cannot encode the image: " + OneLine(status));
    return bytes;
}

// Blocks SIGTERM and SIGINT in this thread while it lives, so that threads
// started meanwhile never take them: a signal interrupting a transfer would
// cut it; the listening thread alone sees the stop request.
class SignalsBlocked {
public:
    SignalsBlocked()
    {
        sigset_t stop;
        sigemptyset(&stop);
        sigaddset(&stop, SIGTERM);
        sigaddset(&stop, SIGINT);
        pthread_sigmask(SIG_BLOCK, &stop, &previous_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

class Server {
public:
    Server(const ServeOptions& options, IntakeDesk& desk, IntakeWorkers& workers, const IntakeLog& log)
        : options_(options), desk_(desk), workers_(workers), log_(log), storeDir_(options.StoreDir)
    {
        for (const auto& ae : options.Allow) allowed_.insert(ae);
        transfers_.assign(std::begin(kUncompressed), std::end(kUncompressed));
    }

    void AcceptCompressed() { transfers_.insert(transfers_.end(), std::begin(kCompressed), std::end(kCompressed)); }

    // Queues an image for the workers; sha256 when known. When the database
    // fails meanwhile, the image is taken again kDatabaseRetry later (the
    // store reconnects), or at the next start.
    void Take(const fs::path& file, const std::string& source, const std::string& sha256 = {})
    {
        workers_.Post([this, path = file.string(), source, sha256] {
            bool seenBefore = false;
            try {
                const IntakeEntry entry = desk_.Take(path, source, IntakeDesk::Retry::Never, seenBefore, log_, sha256);
                if (seenBefore)
                    log_("image " + path + ": the same content as " + entry.Path + " (entry " +
                         std::to_string(entry.Id) + ", " + entry.State + "); skipped");
                else if (entry.Id == 0 && !entry.Message.empty())
                    log_("image " + path + ": " + entry.Message);
            } catch (const std::exception& e) {
                log_("image " + path + ": " + e.what() + "; taken again in " + std::to_string(kDatabaseRetry.count()) +
                     " s");
                std::lock_guard guard(lock_);
                retries_.push_back({std::chrono::steady_clock::now() + kDatabaseRetry, path, source, sha256});
            }
        });
    }

    ~Server()
    {
        if (network_ != nullptr) ASC_dropNetwork(&network_);
        if (listener_ >= 0) ::close(listener_);
    }

    // Opens the port; false (said in the log) when it cannot be used.
    bool Open()
    {
        std::string error;
        listener_ = ListenOn(options_.Listen, options_.Port, error);
        if (listener_ < 0) {
            log_("serve: cannot listen on " + Where() + ": " + error);
            return false;
        }
        // The connections are accepted here, not by DCMTK: given a socket,
        // it makes no listening socket of its own.
        dcmExternalSocketHandle.set(listener_);
        const OFCondition status =
            ASC_initializeNetwork(NET_ACCEPTOR, options_.Port, kAssociationRequestTimeout, &network_);
        dcmExternalSocketHandle.set(-1);
        if (status.bad()) {
            log_("serve: cannot listen on " + Where() + ": " + OneLine(status));
            return false;
        }
        return true;
    }

    // Accepts connections until a stop is requested, each on a thread of its
    // own that awaits its association request and serves it; then waits for
    // them to end.
    void Run()
    {
        log_("serve: listening as " + options_.Aet + " on " + Where() + "; store " + storeDir_.string() +
             "; calling AE titles " + (allowed_.empty() ? "any" : AllowedText()) +
             (transfers_.size() > std::size(kUncompressed) ? "; compressed transfer syntaxes accepted" : ""));
        while (!StopRequested()) {
            TakeDueRetries();
            {
                std::unique_lock guard(lock_);
                if (threads_ - open_ >= kMaxAwaitedRequests) {
                    ended_.wait_for(guard, std::chrono::seconds(1));
                    continue;
                }
            }
            pollfd listening{listener_, POLLIN, 0};
            if (::poll(&listening, 1, 1000) <= 0) continue;  // also woken by the stop signal
            sockaddr_storage address{};
            socklen_t size = sizeof address;
            const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&address), &size, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    log_(ErrnoText("serve: cannot accept a connection", errno));
                    std::this_thread::sleep_for(std::chrono::seconds(1));
                }
                continue;
            }
            const std::string peer = AddressText(address, size);
            std::lock_guard guard(lock_);
            try {
                const SignalsBlocked blocked;  // the stop signals are for the listening thread
                std::thread([this, fd, peer] {
                    Connection(fd, peer);
                    std::lock_guard ending(lock_);
                    --threads_;
                    ended_.notify_all();
                }).detach();
                ++threads_;
            } catch (const std::exception& e) {
                log_("serve: connection (peer " + peer + ") closed: " + e.what());
                ::close(fd);
            }
        }
        ::close(listener_);
        listener_ = -1;
        log_("serve: stopping; no new association is accepted, the images in hand are finished");
        {
            std::unique_lock guard(lock_);
            ended_.wait(guard, [&] { return threads_ == 0; });
        }
    }

private:
    std::string AllowedText() const
    {
        std::string text;
        for (const auto& ae : allowed_) text += (text.empty() ? "" : ",") + ae;
        return text;
    }

    std::string Where() const
    {
        return (options_.Listen.empty() ? std::string() : options_.Listen + " ") + "port " +
               std::to_string(options_.Port);
    }

    struct Retake {
        std::chrono::steady_clock::time_point At;
        std::string Path, Source, Sha256;
    };

    void TakeDueRetries()
    {
        std::vector<Retake> due;
        {
            std::lock_guard guard(lock_);
            const auto now = std::chrono::steady_clock::now();
            const auto ready = std::stable_partition(retries_.begin(), retries_.end(),
                                                     [&](const Retake& retry) { return retry.At > now; });
            due.assign(ready, retries_.end());
            retries_.erase(ready, retries_.end());
        }
        for (const Retake& retry : due) Take(retry.Path, retry.Source, retry.Sha256);
    }

    // One connection: its association request awaited (the ARTIM timer),
    // read, negotiated and served.
    void Connection(int fd, const std::string& peer)
    {
        const std::string peerText = " (peer " + peer + ")";
        std::uint32_t length = 0;
        std::string error;
        const Greeting greeting = AwaitAssociationRequest(fd, length, error);
        if (greeting != Greeting::Complete) {
            switch (greeting) {
            case Greeting::Probe:
                log_("serve: connection from " + peer + " closed without a request (a TCP health probe)");
                break;
            case Greeting::Cut:
                log_("association" + peerText + " not made: the connection was closed part-way through the request");
                break;
            case Greeting::Stalled:
                log_("association" + peerText + " not made: no complete request within " +
                     std::to_string(kAssociationRequestTimeout) + " s; connection closed");
                break;
            case Greeting::NotARequest:
                log_("association" + peerText + " refused: not a DICOM association request; connection closed");
                break;
            case Greeting::TooLarge:
                log_("association" + peerText + " refused: a request of " + std::to_string(length) +
                     " bytes (this node reads up to " + std::to_string(kMaxAssociationRequest) +
                     "); connection closed");
                break;
            case Greeting::Stopping:
                log_("association" + peerText + " not made: the node is stopping");
                break;
            default:
                log_("association" + peerText + " not made: " + error);
                break;
            }
            ::close(fd);
            return;
        }
        SetLowWater(fd, 1);  // DCMTK waits for single bytes from here on

        T_ASC_Association* association = nullptr;
        OFCondition status;
        {
            // The socket is handed over through a global: one at a time. The
            // request is all there, so this never waits for a peer.
            std::lock_guard guard(receiveLock_);
            dcmExternalSocketHandle.set(fd);
            status = ASC_receiveAssociation(network_, &association, kMaxReceivePdu, nullptr, nullptr, OFFalse,
                                            DUL_NOBLOCK, 1);
            dcmExternalSocketHandle.set(-1);
        }
        if (status.bad()) {
            log_("association" + peerText + " refused: " + OneLine(status));
            const bool owned = association != nullptr && association->DULassociation != nullptr;
            if (owned) ASC_dropSCPAssociation(association);
            if (association != nullptr) ASC_destroyAssociation(&association);
            if (!owned) ::close(fd);  // DCMTK had not taken it yet
            return;
        }
        if (StopRequested()) {
            log_("association" + peerText + " rejected: the node is stopping");
            Reject(association, ASC_RESULT_REJECTEDTRANSIENT, ASC_REASON_SU_NOREASON);
            return;
        }
        Begin(association, peerText);
    }

    // Why an association got no presentation context: the SOP classes
    // offered, by name; one this node serves with the transfer syntaxes it
    // came in (none of which was taken).
    std::string NothingServedText(T_ASC_Parameters* params) const
    {
        std::vector<std::string> offered;
        bool servedClass = false;
        const int count = ASC_countPresentationContexts(params);
        for (int i = 0; i < count; ++i) {
            T_ASC_PresentationContext context{};
            if (ASC_getPresentationContext(params, i, &context).bad()) continue;
            const std::string uid = context.abstractSyntax;
            std::string text = UidName(context.abstractSyntax);
            if (std::find(std::begin(kStorageClasses), std::end(kStorageClasses), uid) != std::end(kStorageClasses) ||
                uid == UID_VerificationSOPClass) {
                servedClass = true;
                text += " in ";
                for (int j = 0; j < context.transferSyntaxCount; ++j)
                    text +=
                        (j == 0 ? "" : ", ") + std::string(DcmXfer(context.proposedTransferSyntaxes[j]).getXferName());
            }
            if (std::find(offered.begin(), offered.end(), text) == offered.end()) offered.push_back(text);
        }
        std::string text = "no SOP class and transfer syntax offered is served here; offered: ";
        for (std::size_t i = 0; i < offered.size(); ++i) text += (i == 0 ? "" : "; ") + offered[i];
        if (offered.empty()) text += "none";
        if (servedClass && transfers_.size() == std::size(kUncompressed))
            text += " (compressed transfer syntaxes are accepted with --decompress or a rule that decodes)";
        return text;
    }

    void Reject(T_ASC_Association* association, T_ASC_RejectParametersResult result,
                T_ASC_RejectParametersReason reason)
    {
        T_ASC_RejectParameters rejection{result, ASC_SOURCE_SERVICEUSER, reason};
        if (reason == ASC_REASON_SP_PRES_LOCALLIMITEXCEEDED)
            rejection.source = ASC_SOURCE_SERVICEPROVIDER_PRESENTATION_RELATED;
        ASC_rejectAssociation(association, &rejection);
        ASC_dropSCPAssociation(association);
        ASC_destroyAssociation(&association);
    }

    // Negotiates, then serves the association on this thread.
    void Begin(T_ASC_Association* association, const std::string& peerText)
    {
        char callingAe[65] = {}, calledAe[65] = {};
        ASC_getAPTitles(association->params, callingAe, sizeof callingAe, calledAe, sizeof calledAe, nullptr, 0);
        const std::string calling = Trimmed(callingAe), called = Trimmed(calledAe);
        const std::string who = "association from " + calling + peerText;
        if (called != options_.Aet) {
            log_(who + " rejected: it calls " + called + ", this node is " + options_.Aet);
            Reject(association, ASC_RESULT_REJECTEDPERMANENT, ASC_REASON_SU_CALLEDAETITLENOTRECOGNIZED);
            return;
        }
        if (!allowed_.empty() && allowed_.count(calling) == 0) {
            log_(who + " rejected: calling AE title not allowed");
            Reject(association, ASC_RESULT_REJECTEDPERMANENT, ASC_REASON_SU_CALLINGAETITLENOTRECOGNIZED);
            return;
        }
        {
            // The slot is taken under the same lock as the count is checked:
            // connections negotiate on threads of their own, and two of them
            // must not both find the last slot free.
            std::lock_guard guard(lock_);
            if (open_ >= options_.MaxAssociations) {
                log_(who + " rejected: " + std::to_string(open_) + " associations are open already");
                Reject(association, ASC_RESULT_REJECTEDTRANSIENT, ASC_REASON_SP_PRES_LOCALLIMITEXCEEDED);
                return;
            }
            ++open_;
        }
        const auto releaseSlot = [this] {
            std::lock_guard guard(lock_);
            --open_;
            ended_.notify_all();
        };
        const char* verification[] = {UID_VerificationSOPClass};
        OFCondition status = ASC_acceptContextsWithPreferredTransferSyntaxes(
            association->params, verification, 1, kUncompressed, static_cast<int>(std::size(kUncompressed)));
        if (status.good())
            status = ASC_acceptContextsWithPreferredTransferSyntaxes(
                association->params, kStorageClasses, static_cast<int>(std::size(kStorageClasses)), transfers_.data(),
                static_cast<int>(transfers_.size()));
        if (status.good()) status = ASC_acknowledgeAssociation(association);
        if (status.bad()) {
            log_(who + " failed: " + OneLine(status));
            ASC_dropSCPAssociation(association);
            ASC_destroyAssociation(&association);
            releaseSlot();
            return;
        }
        const int accepted = ASC_countAcceptedPresentationContexts(association->params);
        if (accepted == 0)
            log_(who + " accepted (0 presentation contexts): " + NothingServedText(association->params));
        else
            log_(who + " accepted (" + std::to_string(accepted) + " presentation contexts)");
        Serve(association, calling, who);
        releaseSlot();
    }

    void Serve(T_ASC_Association* association, const std::string& calling, const std::string& who)
    {
        int idle = 0;
        for (;;) {
            T_DIMSE_Message message{};
            T_ASC_PresentationContextID context = 0;
            DcmDataset* detail = nullptr;
            OFCondition status = DIMSE_receiveCommand(association, DIMSE_NONBLOCKING, 1, &context, &message, &detail);
            delete detail;
            if (status == DIMSE_NODATAAVAILABLE) {
                if (StopRequested()) {
                    log_(who + " aborted: the node is stopping");
                    ASC_abortAssociation(association);
                    break;
                }
                if (++idle >= kIdleTimeout) {
                    log_(who + " aborted: idle for " + std::to_string(kIdleTimeout) + " s");
                    ASC_abortAssociation(association);
                    break;
                }
                continue;
            }
            idle = 0;
            if (status == DUL_PEERREQUESTEDRELEASE) {
                ASC_acknowledgeRelease(association);
                log_(who + " released");
                break;
            }
            if (status == DUL_PEERABORTEDASSOCIATION) {
                log_(who + " aborted by the peer");
                break;
            }
            if (status.bad()) {
                log_(who + " ended: " + OneLine(status));
                ASC_abortAssociation(association);
                break;
            }
            if (message.CommandField == DIMSE_C_ECHO_RQ) {
                status = DIMSE_sendEchoResponse(association, context, &message.msg.CEchoRQ, STATUS_Success, nullptr);
                log_(who + ": echo");
            } else if (message.CommandField == DIMSE_C_STORE_RQ) {
                status = Store(association, context, message.msg.CStoreRQ, calling, who);
            } else {
                log_(who + " aborted: command " + std::to_string(message.CommandField) + " is not served");
                ASC_abortAssociation(association);
                break;
            }
            if (status.bad()) {
                log_(who + " ended: " + OneLine(status));
                ASC_abortAssociation(association);
                break;
            }
            if (StopRequested()) {
                // The image in hand is stored and answered; the sender sends the rest to the next run.
                log_(who + " aborted: the node is stopping");
                ASC_abortAssociation(association);
                break;
            }
        }
        ASC_dropSCPAssociation(association);
        ASC_destroyAssociation(&association);
    }

    OFCondition Store(T_ASC_Association* association, T_ASC_PresentationContextID context,
                      const T_DIMSE_C_StoreRQ& request, const std::string& calling, const std::string& who)
    {
        DcmDataset* received = nullptr;
        OFCondition status = DIMSE_receiveDataSetInMemory(association, DIMSE_NONBLOCKING, kDataTimeout, &context,
                                                          &received, nullptr, nullptr);
        std::unique_ptr<DcmDataset> dataset(received);
        if (status.bad()) {
            log_(who + ": image " + request.AffectedSOPInstanceUID + " not received: " + OneLine(status));
            return status;
        }
        T_ASC_PresentationContext accepted{};
        ASC_findAcceptedPresentationContext(association->params, context, &accepted);
        const DcmXfer syntax(accepted.acceptedTransferSyntax);

        T_DIMSE_C_StoreRSP response{};
        response.DimseStatus = STATUS_Success;
        response.MessageIDBeingRespondedTo = request.MessageID;
        response.DataSetType = DIMSE_DATASET_NULL;
        OFStandard::strlcpy(response.AffectedSOPClassUID, request.AffectedSOPClassUID,
                            sizeof response.AffectedSOPClassUID);
        OFStandard::strlcpy(response.AffectedSOPInstanceUID, request.AffectedSOPInstanceUID,
                            sizeof response.AffectedSOPInstanceUID);
        response.opts = O_STORE_AFFECTEDSOPCLASSUID | O_STORE_AFFECTEDSOPINSTANCEUID;

        fs::path stored;
        std::string problem, sha256;
        try {
            const std::string bytes = FileBytes(std::move(dataset), syntax.getXfer(), calling);
            sha256 = Sha256Hex(bytes);
            stored = WriteDurably(storeDir_, FileNameOf(request.AffectedSOPInstanceUID, sha256), bytes, problem);
        } catch (const std::exception& e) {
            problem = e.what();
        }
        if (stored.empty()) {
            response.DimseStatus = STATUS_STORE_Refused_OutOfResources;
            log_(who + ": image " + request.AffectedSOPInstanceUID + " refused (status 0xA700): " + problem);
            return DIMSE_sendStoreResponse(association, context, &request, &response, nullptr);
        }
        const std::string source = "serve from " + calling;
        try {
            bool isNew = false;
            desk_.Claim(stored.string(), sha256, source, isNew);
        } catch (const std::exception& e) {
            // Not registered, so not answered with success: the sender keeps
            // the image and sends it again. The file stays in the store
            // folder: a resend finds it there, and the next start takes it.
            response.DimseStatus = STATUS_STORE_Refused_OutOfResources;
            log_(who + ": image " + stored.string() + " refused (status 0xA700): cannot register it: " + e.what() +
                 "; the file stays for a resend or the next start");
            return DIMSE_sendStoreResponse(association, context, &request, &response, nullptr);
        }
        log_(who + ": image " + stored.string() + " received (" + UidName(request.AffectedSOPClassUID) + ", " +
             syntax.getXferName() + ")");
        status = DIMSE_sendStoreResponse(association, context, &request, &response, nullptr);
        Take(stored, source, sha256);
        return status;
    }

    const ServeOptions& options_;
    IntakeDesk& desk_;
    IntakeWorkers& workers_;
    const IntakeLog& log_;
    fs::path storeDir_;
    std::set<std::string> allowed_;
    std::vector<const char*> transfers_;
    std::mutex lock_;
    std::condition_variable ended_;  // a connection's thread ended
    std::size_t threads_ = 0;        // connections' threads running
    std::size_t open_ = 0;           // of them, associations accepted and served
    std::vector<Retake> retries_;    // images whose analysis the database failed
    std::mutex receiveLock_;         // one ASC_receiveAssociation at a time
    int listener_ = -1;
    T_ASC_Network* network_ = nullptr;
};

}  // namespace

int RunServe(const ServeOptions& options, std::ostream& err)
{
    const IntakeLog log = LineLog(err);
    const IntakeRules rules = ReadIntakeRules(options.RulesFile);
    if (!RulesUsable(rules, log)) return 1;
    if (options.Aet.empty() || options.Aet.size() > 16 || options.Aet.find('\\') != std::string::npos) {
        log("serve: " + options.Aet + ": not an AE title (1 to 16 characters, no backslash)");
        return 1;
    }
    std::error_code error;
    fs::create_directories(options.StoreDir, error);
    if (!fs::is_directory(options.StoreDir)) {
        log("serve: " + options.StoreDir + ": cannot create the store folder" +
            (error ? ": " + error.message() : std::string()));
        return 1;
    }
    std::unique_ptr<IntakeDesk> desk;
    try {
        desk = std::make_unique<IntakeDesk>(
            IntakeOptions{&rules, HistoryLocation(options.Db), options.OutDir, options.By, options.Decompress});
    } catch (const std::exception& e) {
        log(std::string("serve: ") + e.what());
        return 1;
    }
    if (IsSameFile(options.StoreDir, desk->OutDir().string())) {
        log("serve: " + options.StoreDir + " is the output folder; choose another --out-dir");
        return 1;
    }

    // Our own lines say what happens; DCMTK's would interleave with them.
    OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
    // Peers are logged by address: a reverse DNS lookup that hangs would hold
    // up every association behind it.
    dcmDisableGethostbyaddr.set(OFTrue);
    if (!dcmDataDict.isDictionaryLoaded()) {
        log("serve: DCMTK's data dictionary is not found (set DCMDICTPATH)");
        return 1;
    }
    InstallStopHandlers();
    // A peer that goes away mid-answer, or a file size limit, must give an
    // error, not end the service.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);

    bool compressed = options.Decompress;
    for (const auto& rule : rules.Rules) compressed = compressed || rule.Decompress;
    const fs::path store = fs::absolute(options.StoreDir).lexically_normal();
    ServeOptions used = options;
    used.StoreDir = store.string();

    {
        std::unique_ptr<IntakeWorkers> workers;
        {
            const SignalsBlocked blocked;
            workers = std::make_unique<IntakeWorkers>(options.Jobs);
        }
        Server server(used, *desk, *workers, log);
        if (compressed) server.AcceptCompressed();
        if (!server.Open()) return 1;

        // What an earlier run received but did not finish.
        try {
            std::set<std::string> queued;
            for (const auto& entry : desk->Unfinished()) {
                if (!fs::is_regular_file(entry.Path, error) || !queued.insert(entry.Path).second) continue;
                log("image " + entry.Path + ": taken again (an earlier run stopped before finishing it)");
                server.Take(entry.Path, entry.Source);
            }
            const std::set<std::string> known = desk->KnownPaths();
            for (fs::directory_iterator it(store, error); !error && it != fs::directory_iterator();
                 it.increment(error)) {
                const std::string name = it->path().filename().string();
                if (name.rfind(kTemporaryPrefix, 0) == 0) {
                    log("serve: " + it->path().string() + ": removed (a transfer an earlier run did not finish)");
                    fs::remove(it->path(), error);
                    error.clear();
                    continue;
                }
                if (name.empty() || name.front() == '.' || !it->is_regular_file(error)) continue;
                const std::string path = it->path().string();
                if (known.count(path) != 0 || !queued.insert(path).second) continue;
                log("image " + path + ": found in the store folder, not taken yet");
                server.Take(path, "serve");
            }
        } catch (const std::exception& e) {
            log(std::string("serve: ") + e.what());
        }

        server.Run();
        workers->Drain();
    }
    log("serve: stopped");
    return 0;
}

}  // namespace evenor
