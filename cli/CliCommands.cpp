#include "CliCommands.h"

#include <ostream>
#include <string>

#include <CLI/CLI.hpp>

#include "DicomLib.h"

namespace evenor {

namespace {

// Splits a path at its last separator into the directory part (ending with
// the separator) and the file-name part.
std::pair<std::string, std::string> SplitPath(const std::string& path)
{
    const auto pos = path.find_last_of("/\\");
    if (pos == std::string::npos) return {"", path};
    return {path.substr(0, pos + 1), path.substr(pos + 1)};
}

int TagsCommand(const std::string& file, std::ostream& out, std::ostream& err)
{
    try {
        const auto [directory, name] = SplitPath(file);
        TDicomBeeld image(directory, name);
        for (const auto& line : image.TagList()) out << line << '\n';
        return 0;
    } catch (const EvenorError& e) {
        err << e.what() << '\n';
        return 1;
    }
}

}  // namespace

int RunCli(int argc, char** argv, std::ostream& out, std::ostream& err)
{
    CLI::App app{"Evenor: uniformity test of digital X-ray detectors", "evenor-cli"};
    app.set_version_flag("--version", std::string("evenor-cli 0.9.0.1Beta"));
    app.require_subcommand(1);

    std::string tagsFile;
    auto* tags = app.add_subcommand("tags", "Print the DICOM tag list of FILE, one element per line");
    tags->add_option("FILE", tagsFile, "DICOM file")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // CLI11 prints help and version to out, errors to err.
        const int code = app.exit(e, out, err);
        return code == 0 ? 0 : 2;
    }

    if (*tags) return TagsCommand(tagsFile, out, err);
    return 2;
}

}  // namespace evenor
