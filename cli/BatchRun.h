#pragma once
// The batch form of "analyse": many images, files and folders, into one
// output folder, two images at a time, with a summary table.
#include <iosfwd>
#include <string>
#include <vector>

#include "cli/HistoryCommands.h"
#include "qa/ImageJob.h"
#include "qa/Recorder.h"

namespace evenor {

struct BatchOptions {
    std::vector<std::string> Paths;  // files and folders as given
    std::string OutDir;
    bool Recursive = false;
    bool Json = false;  // also write OUT/<name>.json
    bool Csv = false;   // ... OUT/<name>.csv
    bool Png = false;   // ... OUT/<name>-area.png and the heat maps
    bool Pdf = false;   // ... OUT/<name>.pdf
    PaperSize Paper = PaperSize::A4;
    std::string By;  // who, as the PDF reports name them (--by); empty: the user's login
    bool Quiet = false;
    bool FailOnDeviation = false;
    unsigned Jobs = 2;                    // images analysed at the same time
    bool Progress = false;                // standard error is a terminal: show a progress line
    HistoryRecorder* Recorder = nullptr;  // record each analysed image (--record)
};

// One image of a batch.
struct BatchItem {
    std::string Path;   // as given, or the folder joined with the file's name
    std::string Name;   // output base name, unique within the batch
    std::string Error;  // set when the path cannot be analysed at all
};

// The images of the batch in order: each path that is not a folder as it
// stands; for a folder, its regular files (also through symbolic links)
// sorted by name, hidden ones (name starting with ".") left out, and with
// recursive the same for its sub-folders (not hidden ones, no links
// followed), sorted by the path below the folder. A path that is neither a
// folder nor a regular file but exists (a device, a pipe) gets an Error.
// The folder outDir (the batch's own output folder, when it exists) is never
// read: neither when it is given as a path nor when it lies below one, so a
// second run does not take the first run's outputs for images.
std::vector<BatchItem> CollectBatchItems(const std::vector<std::string>& paths, bool recursive,
                                         const std::string& outDir = {});

// Gives every item its output base name: the file name without its last
// extension, with "-2", "-3", ... added when that name was already given or
// is "summary". A name whose outputs in outDir would replace one of the input
// files (the same file through any path or hard link) is skipped the same way.
void NameBatchOutputs(std::vector<BatchItem>& items, const std::string& outDir);

// The output files of one item (only those the options ask for, besides the
// report).
ImageOutputs BatchOutputsFor(const BatchItem& item, const BatchOptions& options);

inline constexpr const char* kSummaryName = "summary.csv";

// Runs the batch; returns the exit status: 0, 1 when any image failed or the
// summary could not be written, 3 with FailOnDeviation when none failed but
// some overall verdict is "fail".
int RunBatch(const BatchOptions& options, const AnalyseOptions& analyse, const GuidelinePreset& preset,
             std::ostream& out, std::ostream& err);

}  // namespace evenor
