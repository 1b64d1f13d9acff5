#include "cli/ServeCommand.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
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
#include "cli/Intake.h"
#include "cli/IntakeWorkers.h"
#include "dicom/DicomLib.h"
#include "dicom/SharedFile.h"
#include "history/HistoryStore.h"
#include "history/Sha256.h"

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
// s a peer may take to send its A-ASSOCIATE-RQ once connected; the listening
// thread waits for it, so a peer that connects and sends nothing holds up the
// others this long.
constexpr int kAssociationRequestTimeout = 5;
constexpr int kDataTimeout = 60;                // s without a PDV in the middle of a data set
constexpr int kIdleTimeout = 600;               // s without a command before an association is aborted
constexpr const char* kTemporaryPrefix = ".receiving-";

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

// A UID used as a file name: digits and dots only, as a UID must be;
// anything else gets a name made of its hash.
std::string FileNameOf(const std::string& uid, const std::string& sha256)
{
    const bool plain = !uid.empty() && uid.size() <= 64 && uid.front() != '.' &&
                       uid.find_first_not_of("0123456789.") == std::string::npos;
    return (plain ? uid : "instance-" + sha256.substr(0, 16)) + ".dcm";
}

std::string ErrnoText(const char* what, int error) { return std::string(what) + ": " + std::strerror(error); }

bool SameBytes(const fs::path& file, const std::string& bytes)
{
    std::error_code error;
    if (fs::file_size(file, error) != bytes.size() || error) return false;
    std::ifstream in(file, std::ios::binary);
    std::string content(bytes.size(), '\0');
    in.read(content.data(), static_cast<std::streamsize>(content.size()));
    return in.gcount() == static_cast<std::streamsize>(bytes.size()) && content == bytes;
}

// Writes bytes to a new file of folder, flushed to the disk, under name, or
// name with "-2", "-3", ... when another instance holds it. Returns the path;
// the existing file when it holds these very bytes (a sender repeating a
// transfer). On failure returns an empty path and sets error; no file of ours
// is left then.
fs::path WriteDurably(const fs::path& folder, const std::string& name, const std::string& bytes, std::string& error)
{
    static std::atomic<unsigned> serial{0};
    const fs::path temporary =
        folder / (kTemporaryPrefix + std::to_string(::getpid()) + "-" + std::to_string(serial++) + ".part");
    const auto fail = [&](const char* what, int number) {
        ::unlink(temporary.c_str());
        error = ErrnoText(what, number);
        return fs::path();
    };
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return fail("cannot create a file in the store folder", errno);
    int problem = 0;
    for (std::size_t done = 0; done < bytes.size() && problem == 0;) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0)
            problem = written < 0 ? errno : ENOSPC;
        else
            done += static_cast<std::size_t>(written);
    }
    if (problem == 0 && ::fsync(fd) != 0) problem = errno;
    if (::close(fd) != 0 && problem == 0) problem = errno;
    if (problem != 0) return fail("cannot write the image", problem);

    const std::string stem = name.substr(0, name.size() - 4);  // without ".dcm"
    fs::path target;
    for (int copy = 1; target.empty(); ++copy) {
        const fs::path candidate = folder / (copy == 1 ? name : stem + "-" + std::to_string(copy) + ".dcm");
        // link() fails when the name is taken: two receivers never replace each other's file.
        if (::link(temporary.c_str(), candidate.c_str()) == 0) {
            target = candidate;
        } else if (errno != EEXIST) {
            return fail("cannot name the image in the store folder", errno);
        } else if (SameBytes(candidate, bytes)) {
            ::unlink(temporary.c_str());
            return candidate;
        } else if (copy >= 1000) {
            return fail("cannot name the image in the store folder", EEXIST);
        }
    }
    ::unlink(temporary.c_str());
    // The new name is durable once the folder is.
    if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return target;
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

    // Queues an image for the workers; sha256 when known.
    void Take(const fs::path& file, const std::string& source, const std::string& sha256 = {})
    {
        workers_.Post([&desk = desk_, &log = log_, path = file.string(), source, sha256] {
            bool seenBefore = false;
            try {
                const IntakeEntry entry = desk.Take(path, source, IntakeDesk::Retry::Never, seenBefore, log, sha256);
                if (seenBefore)
                    log("image " + path + ": the same content as " + entry.Path + " (entry " +
                        std::to_string(entry.Id) + ", " + entry.State + "); skipped");
                else if (entry.Id == 0 && !entry.Message.empty())
                    log("image " + path + ": " + entry.Message);
            } catch (const std::exception& e) {
                // The database failed: the entry stays waiting and is taken at the next start.
                log("image " + path + ": " + e.what());
            }
        });
    }

    ~Server()
    {
        if (network_ != nullptr) ASC_dropNetwork(&network_);
    }

    // Opens the port; false (said in the log) when it cannot be used.
    bool Open()
    {
        const OFCondition status =
            ASC_initializeNetwork(NET_ACCEPTOR, options_.Port, kAssociationRequestTimeout, &network_);
        if (status.bad()) {
            log_("serve: cannot listen on port " + std::to_string(options_.Port) + ": " + OneLine(status));
            return false;
        }
        return true;
    }

    // Accepts associations until a stop is requested, then waits for the
    // open ones to end.
    void Run()
    {
        log_("serve: listening as " + options_.Aet + " on port " + std::to_string(options_.Port) + "; store " +
             storeDir_.string() + "; calling AE titles " + (allowed_.empty() ? "any" : AllowedText()) +
             (transfers_.size() > std::size(kUncompressed) ? "; compressed transfer syntaxes accepted" : ""));
        OFCondition status;
        while (!StopRequested()) {
            T_ASC_Association* association = nullptr;
            status = ASC_receiveAssociation(network_, &association, kMaxReceivePdu, nullptr, nullptr, OFFalse,
                                            DUL_NOBLOCK, 1);
            if (status.good() && !StopRequested()) {
                Begin(association);
                continue;
            }
            if (status.good()) {
                log_("association" + PeerText(association) + " rejected: the node is stopping");
                Reject(association, ASC_RESULT_REJECTEDTRANSIENT, ASC_REASON_SU_NOREASON);
                continue;
            }
            if (status.bad() && status != DUL_NOASSOCIATIONREQUEST && !StopRequested())
                log_("association refused: " + OneLine(status) + PeerText(association));
            if (association != nullptr) {
                ASC_dropSCPAssociation(association);
                ASC_destroyAssociation(&association);
            }
        }
        log_("serve: stopping; no new association is accepted, the images in hand are finished");
        {
            std::unique_lock guard(lock_);
            ended_.wait(guard, [&] { return open_ == 0; });
        }
    }

private:
    std::string AllowedText() const
    {
        std::string text;
        for (const auto& ae : allowed_) text += (text.empty() ? "" : ",") + ae;
        return text;
    }

    static std::string PeerText(T_ASC_Association* association)
    {
        if (association == nullptr || association->params == nullptr) return {};
        char calling[256] = {}, called[256] = {};
        ASC_getPresentationAddresses(association->params, calling, sizeof calling, called, sizeof called);
        return calling[0] != '\0' ? std::string(" (peer ") + calling + ")" : std::string();
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

    // Negotiates on the listening thread (it is quick), then serves the
    // association on a thread of its own.
    void Begin(T_ASC_Association* association)
    {
        char callingAe[65] = {}, calledAe[65] = {};
        ASC_getAPTitles(association->params, callingAe, sizeof callingAe, calledAe, sizeof calledAe, nullptr, 0);
        const std::string calling = Trimmed(callingAe), called = Trimmed(calledAe);
        const std::string who = "association from " + calling + PeerText(association);
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
            std::lock_guard guard(lock_);
            if (open_ >= options_.MaxAssociations) {
                log_(who + " rejected: " + std::to_string(open_) + " associations are open already");
                Reject(association, ASC_RESULT_REJECTEDTRANSIENT, ASC_REASON_SP_PRES_LOCALLIMITEXCEEDED);
                return;
            }
        }
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
            return;
        }
        log_(who + " accepted (" + std::to_string(ASC_countAcceptedPresentationContexts(association->params)) +
             " presentation contexts)");
        {
            std::lock_guard guard(lock_);
            ++open_;
        }
        const SignalsBlocked blocked;  // the stop signals are for the listening thread
        std::thread([this, association, calling, who]() mutable {
            Serve(association, calling, who);
            std::lock_guard guard(lock_);
            --open_;
            ended_.notify_all();
        }).detach();
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
            // Kept in the store folder: the next start takes it.
            log_(who + ": image " + stored.string() + ": " + e.what());
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
    std::condition_variable ended_;
    std::size_t open_ = 0;
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
