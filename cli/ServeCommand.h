#pragma once
// "evenor-cli serve": a DICOM node (Storage and Verification SCP) that keeps
// every image it receives in a store folder and analyses it by the intake
// rules on a bounded pool of workers.
#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

namespace evenor {

struct ServeOptions {
    std::string Aet;  // our AE title; associations calling another are rejected
    int Port = 0;
    std::string Listen;    // the address listened on (IPv4 or IPv6); empty: every IPv4 interface
    std::string StoreDir;  // received instances, SOPINSTANCEUID.dcm
    std::string RulesFile, Db, OutDir, By;
    std::vector<std::string> Allow;   // calling AE titles accepted; empty: any
    std::size_t Jobs = 2;             // images analysed at a time
    std::size_t MaxAssociations = 8;  // associations served at a time; more are rejected (transient)
    bool Decompress = false;          // accept compressed transfer syntaxes whatever the rules say
};

// Runs until SIGTERM/SIGINT: then no association is accepted any more, the
// open ones end (abort) after the command in hand, the images received are
// analysed, and 0 is returned. Events go to err, one line each. 1 when the rules, the store
// folder, the database or the port cannot be used.
//
// Every instance received is written to a hidden temporary file in the store
// folder, flushed to the disk, linked to its final name and registered as
// waiting in the intake table before the C-STORE is answered with success; a
// failure to write it answers 0xA700 (out of resources) and leaves no file, a
// failure to register it answers 0xA700 and leaves the file for the resend.
// Each connection awaits its association request on a thread of its own.
// At start the waiting entries whose files exist and the files of the store
// folder that the intake table does not know are taken; leftover temporary
// files (a transfer cut by a crash) are removed, never taken.
int RunServe(const ServeOptions& options, std::ostream& err);

}  // namespace evenor
