#pragma once
// Running evenor-cli in the test process or as the real program, and the
// images the command-line tests analyse.
#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CliCommands.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDicomWriter.h"

namespace evenor::test {

struct CliResult {
    int status = -1;
    std::string out;
    std::string err;
};

inline CliResult RunInProcess(std::vector<std::string> args, bool errIsTerminal = false)
{
    args.insert(args.begin(), "evenor-cli");
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::ostringstream out;
    std::ostringstream err;
    CliResult result;
    result.status = RunCli(static_cast<int>(args.size()), argv.data(), out, err, errIsTerminal);
    result.out = out.str();
    result.err = err.str();
    return result;
}

inline std::string Quoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Runs the real program, so that its start-up (locale, Qt) is part of the
// test; standard output and error go through files in folder.
inline CliResult RunProgram(const TempFolder& folder, const std::string& environment,
                            const std::vector<std::string>& args)
{
    std::string command = "env " + environment + " " + Quoted(EVENOR_CLI_PATH);
    for (const auto& arg : args) command.append(1, ' ').append(Quoted(arg));
    command.append(" >").append(Quoted((folder / "stdout").string()));
    command.append(" 2>").append(Quoted((folder / "stderr").string()));
    const int raw = std::system(command.c_str());
    CliResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = ReadWholeFile(folder / "stdout");
    result.err = ReadWholeFile(folder / "stderr");
    return result;
}

// A uniform field with noise that every even box averages out: base +/- 20
// like a chessboard, 1 mm pixels, so 1 cm boxes of 10 pixels all have mean
// base and the same SD. Every metric is 0: the default preset passes it.
inline TestImage NoisyFlatImage(std::uint16_t side, std::uint16_t base = 1000)
{
    TestImage image = FlatImage(side, side, base);
    for (std::uint16_t y = 0; y < side; ++y)
        for (std::uint16_t x = 0; x < side; ++x)
            image.Pixels[std::size_t{y} * side + x] = static_cast<std::uint16_t>((x + y) % 2 ? base + 20 : base - 20);
    return image;
}

// The same with a square blotch 15 % darker: a global uniformity of about
// 15 %, above the default preset's action limit of 10 %.
inline TestImage BlotchedImage(std::uint16_t side)
{
    TestImage image = NoisyFlatImage(side);
    for (std::uint16_t y = 20; y < 40; ++y)
        for (std::uint16_t x = 20; x < 40; ++x) {
            auto& value = image.Pixels[std::size_t{y} * side + x];
            value = static_cast<std::uint16_t>(value * 85 / 100);
        }
    return image;
}

// The file bytes of image with a Presentation Intent Type (0008,0068) element
// placed after Modality (0008,0060), where the ascending tag order wants it.
inline std::string BytesWithPresentationIntent(const TestImage& image, const std::string& intent)
{
    TestImage withIntent = image;
    withIntent.PresentationIntentType = intent;
    return DicomFileBytes(withIntent);
}

// PNG signature, then the IHDR chunk's width and height (big-endian).
inline bool ReadPngSize(const std::string& bytes, std::uint32_t& width, std::uint32_t& height)
{
    if (bytes.size() < 24 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || bytes.compare(12, 4, "IHDR") != 0)
        return false;
    const auto word = [&](std::size_t at) {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
        return value;
    };
    width = word(16);
    height = word(20);
    return true;
}

}  // namespace evenor::test
