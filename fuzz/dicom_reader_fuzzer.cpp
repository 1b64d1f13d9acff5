// Fuzzes the DICOM reader on arbitrary bytes: the header parse from memory and
// from a file (the two must agree to the byte), the tag list, LoadPixels and
// CopyRegion on rectangles derived from the input.
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "dicom/DicomLib.h"
#include "fuzz/FuzzSupport.h"
#include "fuzz/ReferenceReader.h"

namespace evenor::fuzz {
namespace {

// The input as a file: a memory file reached through /proc/self/fd, so
// writing it costs no disk; a file in the scratch folder where memfd_create
// is missing. Path: directory part and file-name part, as the window passes
// them.
class InputFile {
public:
    InputFile()
    {
        fd_ = ::memfd_create("evenor-fuzz-image", MFD_CLOEXEC);
        if (fd_ >= 0) {
            directory_ = "/proc/self/fd/";
            name_ = std::to_string(fd_);
        } else {
            directory_ = ScratchFolder::Path().string() + "/";
            name_ = "image.dcm";
        }
    }
    void Write(std::span<const std::uint8_t> bytes) const
    {
        const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        if (fd_ < 0) {
            WriteFile(directory_ + name_, text);
            return;
        }
        FUZZ_CHECK(::ftruncate(fd_, 0) == 0);
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::pwrite(fd_, text.data() + done, text.size() - done, static_cast<off_t>(done));
            FUZZ_CHECK(n > 0);
            done += static_cast<std::size_t>(n);
        }
    }
    const std::string& Directory() const { return directory_; }
    const std::string& Name() const { return name_; }

private:
    int fd_ = -1;
    std::string directory_;
    std::string name_;
};

struct Outcome {
    std::unique_ptr<TDicomBeeld> Image;
    std::string Error;
};

template <typename Make> Outcome Parse(Make make)
{
    Outcome outcome;
    try {
        outcome.Image = make();
    } catch (const EvenorError& e) {
        outcome.Error = e.Message();
        FUZZ_CHECK(!outcome.Error.empty());
    }
    return outcome;
}

bool SameReal(double a, double b) { return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0; }

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

void CheckTagTable(const TDicomBeeld& image)
{
    const auto lines = image.TagList();
    FUZZ_CHECK(lines.size() == image.TagTable().size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const TagEntry& entry = image.TagTable()[i];
        FUZZ_CHECK(entry.Tag.size() == 8);
        for (char c : entry.Tag) FUZZ_CHECK(IsUpperHex(c));
        FUZZ_CHECK(entry.VR.size() == 2);
        FUZZ_CHECK(lines[i] == entry.Tag + ", " + entry.Value + ", " + entry.VR + ", " + entry.Description);
    }
    FUZZ_CHECK(image.Rows() >= 0 && image.Rows() <= 65535);
    FUZZ_CHECK(image.Columns() >= 0 && image.Columns() <= 65535);
    FUZZ_CHECK(image.PixelDataOffset() >= 0);
}

// The reader against the reference walk over the same bytes.
void CheckAgainstReference(const Outcome& outcome, const ReferenceHeader& ref)
{
    if (!outcome.Image) {
        if (outcome.Error != ref.Error)
            std::fprintf(stderr, "reader: %s\nreference: %s\n", outcome.Error.c_str(), ref.Error.c_str());
        FUZZ_CHECK(outcome.Error == ref.Error);
        return;
    }
    FUZZ_CHECK(ref.Error.empty());
    const TDicomBeeld& image = *outcome.Image;
    const auto& table = image.TagTable();
    FUZZ_CHECK(table.size() == ref.Table.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        FUZZ_CHECK(table[i].Tag == ref.Table[i].Tag);
        FUZZ_CHECK(table[i].Value == ref.Table[i].Value);
        FUZZ_CHECK(table[i].VR == ref.Table[i].VR);
        FUZZ_CHECK(table[i].Description == ref.Table[i].Description);
    }
    FUZZ_CHECK(image.HasPreamble() == ref.HasPreamble);
    FUZZ_CHECK(image.OddOffsets() == ref.OddOffsets);
    FUZZ_CHECK(image.BigEndian() == ref.BigEndian);
    FUZZ_CHECK(image.BitsAllocated() == ref.BitsAllocated);
    FUZZ_CHECK(SameReal(image.PixelSpacing(), ref.PixelSpacing));
    FUZZ_CHECK(image.ImagerSpacingSeen() == ref.ImagerSpacingSeen);
    FUZZ_CHECK(image.PixelDataOffset() == ref.PixelDataOffset);
    FUZZ_CHECK(image.Rows() == ref.Rows);
    FUZZ_CHECK(image.Columns() == ref.Columns);
}

void CheckSameImage(const TDicomBeeld& a, const TDicomBeeld& b)
{
    FUZZ_CHECK(a.TagList() == b.TagList());
    FUZZ_CHECK(a.HasPreamble() == b.HasPreamble());
    FUZZ_CHECK(a.OddOffsets() == b.OddOffsets());
    FUZZ_CHECK(a.BigEndian() == b.BigEndian());
    FUZZ_CHECK(a.BitsAllocated() == b.BitsAllocated());
    FUZZ_CHECK(SameReal(a.PixelSpacing(), b.PixelSpacing()));
    FUZZ_CHECK(a.ImagerSpacingSeen() == b.ImagerSpacingSeen());
    FUZZ_CHECK(a.PixelDataOffset() == b.PixelDataOffset());
    FUZZ_CHECK(a.Rows() == b.Rows());
    FUZZ_CHECK(a.Columns() == b.Columns());
    FUZZ_CHECK(a.Pixels() == b.Pixels());
}

// The sample at index as the file stores it.
std::uint16_t StoredSample(std::span<const std::uint8_t> bytes, const TDicomBeeld& image, std::size_t index)
{
    const std::size_t offset = static_cast<std::size_t>(image.PixelDataOffset());
    if (image.BitsAllocated() <= 8) return bytes[offset + index];
    const std::uint8_t first = bytes[offset + 2 * index];
    const std::uint8_t second = bytes[offset + 2 * index + 1];
    return image.BigEndian() ? static_cast<std::uint16_t>(first << 8 | second)
                             : static_cast<std::uint16_t>(second << 8 | first);
}

// Copies the rectangle and compares every value with Pixels; a guard value
// after the rectangle must stay as it was, and a single pixel or an inverted
// rectangle copies nothing.
void CheckCopyRegion(const TDicomBeeld& image, std::uint32_t firstColumn, std::uint32_t firstRow,
                     std::uint32_t lastColumn, std::uint32_t lastRow)
{
    constexpr std::uint16_t kUntouched = 0xA5C3;
    const bool copies =
        firstColumn <= lastColumn && firstRow <= lastRow && !(firstColumn == lastColumn && firstRow == lastRow);
    const std::size_t width = firstColumn <= lastColumn ? lastColumn - firstColumn + 1 : 1;
    const std::size_t height = firstRow <= lastRow ? lastRow - firstRow + 1 : 1;
    std::vector<std::uint16_t> destination(width * height + 1, kUntouched);
    image.CopyRegion(firstColumn, firstRow, lastColumn, lastRow, destination.data());
    FUZZ_CHECK(destination.back() == kUntouched);
    const std::size_t columns = static_cast<std::size_t>(image.Columns());
    for (std::size_t k = 0; k + 1 < destination.size(); ++k) {
        if (!copies) {
            FUZZ_CHECK(destination[k] == kUntouched);
            continue;
        }
        const std::size_t row = firstRow + k / width;
        const std::size_t column = firstColumn + k % width;
        FUZZ_CHECK(destination[k] == image.Pixels()[row * columns + column]);
    }
}

std::uint64_t Hash(std::span<const std::uint8_t> bytes)
{
    std::uint64_t hash = 1469598103934665603ULL;  // FNV-1a
    for (std::uint8_t b : bytes) hash = (hash ^ b) * 1099511628211ULL;
    return hash;
}

}  // namespace
}  // namespace evenor::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace evenor;
    using namespace evenor::fuzz;
    static const InputFile file;
    const std::span<const std::uint8_t> bytes(data, size);

    Outcome fromMemory = Parse([&] { return std::make_unique<TDicomBeeld>(bytes); });
    file.Write(bytes);
    Outcome fromFile = Parse([&] { return std::make_unique<TDicomBeeld>(file.Directory(), file.Name()); });

    CheckAgainstReference(fromMemory, ReferenceReader(bytes).Read());

    // Memory and file are two sources of the same bytes: same outcome.
    FUZZ_CHECK(fromMemory.Error == fromFile.Error);
    FUZZ_CHECK(!fromMemory.Image == !fromFile.Image);
    if (!fromFile.Image) return 0;
    TDicomBeeld& image = *fromFile.Image;
    CheckTagTable(image);
    CheckSameImage(*fromMemory.Image, image);

    // The header sizes Pixels only when the file backs every sample.
    const std::uint64_t samples = static_cast<std::uint64_t>(image.Rows()) * image.Columns();
    const std::uint64_t needed = samples * (image.BitsAllocated() > 8 ? 2 : 1);
    const std::uint64_t offset = static_cast<std::uint64_t>(image.PixelDataOffset());
    const bool backed = offset <= size && needed <= size - offset;
    FUZZ_CHECK(image.Pixels().size() == (backed ? samples : 0));

    // An image read from memory has no file to load pixels from.
    const WordArray before = fromMemory.Image->Pixels();
    bool threw = false;
    try {
        fromMemory.Image->LoadPixels();
    } catch (const EvenorError& e) {
        threw = e.Message() == "Cannot open file ";
    }
    FUZZ_CHECK(threw);
    FUZZ_CHECK(fromMemory.Image->Pixels() == before);

    image.LoadPixels();
    FUZZ_CHECK(image.Pixels().size() == (backed ? samples : 0));
    if (!backed || samples == 0) return 0;
    for (std::size_t i : {std::size_t{0}, static_cast<std::size_t>(samples / 2), static_cast<std::size_t>(samples - 1)})
        FUZZ_CHECK(image.Pixels()[i] == StoredSample(bytes, image, i));
    // A second load gives the same values, also after they were changed.
    const WordArray loaded = image.Pixels();
    image.Pixels()[0] ^= 0xFFFF;
    image.LoadPixels();
    FUZZ_CHECK(image.Pixels() == loaded);

    const auto columns = static_cast<std::uint32_t>(image.Columns());
    const auto rows = static_cast<std::uint32_t>(image.Rows());
    std::uint64_t hash = Hash(bytes);
    auto pick = [&](std::uint32_t limit) {
        const auto value = static_cast<std::uint32_t>(hash % limit);
        hash = hash / limit + 0x9E3779B97F4A7C15ULL * (hash % 7 + 1);
        return value;
    };
    // Whole image, first row, last column, one pixel, inverted, and two
    // rectangles anywhere inside.
    CheckCopyRegion(image, 0, 0, columns - 1, rows - 1);
    CheckCopyRegion(image, 0, 0, columns - 1, 0);
    CheckCopyRegion(image, columns - 1, 0, columns - 1, rows - 1);
    CheckCopyRegion(image, pick(columns), pick(rows), 0, 0);
    for (int i = 0; i < 2; ++i) {
        std::uint32_t c1 = pick(columns), c2 = pick(columns), r1 = pick(rows), r2 = pick(rows);
        if (c1 > c2) std::swap(c1, c2);
        if (r1 > r2) std::swap(r1, r2);
        CheckCopyRegion(image, c1, r1, c2, r2);
    }
    if (columns > 1) CheckCopyRegion(image, columns - 1, rows - 1, columns - 2, rows - 1);
    return 0;
}
