#pragma once
// A minimal writer of uncompressed DICOM files for tests: a Part 10 file
// (preamble, "DICM", file meta group) in Explicit VR Little Endian with the few
// elements the analysis reads, and 16-bit pixel data.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace evenor::test {

struct TestImage {
    std::uint16_t Rows = 0;
    std::uint16_t Columns = 0;
    std::vector<std::uint16_t> Pixels;  // row-major, Rows * Columns values
    std::string PixelSpacing = "1\\1";  // DS text; empty: no Pixel Spacing element
    // Bits Stored (0028,0101) as a US number, or as a text (written with VR LO,
    // so the tag list shows that text); neither: no element.
    std::optional<std::uint16_t> BitsStored = 16;
    std::optional<std::string> BitsStoredText;
    std::optional<std::string> IntensityRelationship = "LIN";  // 0028,1040, CS
    std::optional<std::int16_t> IntensitySign = 1;             // 0028,1041, SS
    std::size_t MissingPixelBytes = 0;  // the file ends this many bytes early
};

class DicomBytes {
public:
    void U16(std::uint16_t v)
    {
        bytes_.push_back(static_cast<char>(v & 0xFF));
        bytes_.push_back(static_cast<char>(v >> 8));
    }
    void U32(std::uint32_t v)
    {
        U16(static_cast<std::uint16_t>(v & 0xFFFF));
        U16(static_cast<std::uint16_t>(v >> 16));
    }
    void Raw(const std::string& s) { bytes_ += s; }
    // A short-VR element with a text value, padded to even length.
    void Text(std::uint16_t group, std::uint16_t element, const char* vr, std::string value, char pad = ' ')
    {
        if (value.size() % 2 != 0) value += pad;
        U16(group);
        U16(element);
        Raw(vr);
        U16(static_cast<std::uint16_t>(value.size()));
        Raw(value);
    }
    void Short(std::uint16_t group, std::uint16_t element, const char* vr, std::uint16_t value)
    {
        U16(group);
        U16(element);
        Raw(vr);
        U16(2);
        U16(value);
    }
    const std::string& Bytes() const { return bytes_; }

private:
    std::string bytes_;
};

inline std::string DicomFileBytes(const TestImage& image)
{
    DicomBytes meta;
    meta.Text(0x0002, 0x0002, "UI", "1.2.840.10008.5.1.4.1.1.1.1.1", '\0');
    meta.Text(0x0002, 0x0003, "UI", "1.2.3.4.5", '\0');
    meta.Text(0x0002, 0x0010, "UI", "1.2.840.10008.1.2.1", '\0');

    DicomBytes file;
    file.Raw(std::string(128, '\0'));
    file.Raw("DICM");
    file.U16(0x0002);
    file.U16(0x0000);
    file.Raw("UL");
    file.U16(4);
    file.U32(static_cast<std::uint32_t>(meta.Bytes().size()));
    file.Raw(meta.Bytes());

    file.Text(0x0008, 0x0060, "CS", "DX");
    file.Short(0x0028, 0x0002, "US", 1);
    file.Text(0x0028, 0x0004, "CS", "MONOCHROME2");
    file.Short(0x0028, 0x0010, "US", image.Rows);
    file.Short(0x0028, 0x0011, "US", image.Columns);
    if (!image.PixelSpacing.empty()) file.Text(0x0028, 0x0030, "DS", image.PixelSpacing);
    file.Short(0x0028, 0x0100, "US", 16);
    if (image.BitsStoredText)
        file.Text(0x0028, 0x0101, "LO", *image.BitsStoredText);
    else if (image.BitsStored)
        file.Short(0x0028, 0x0101, "US", *image.BitsStored);
    file.Short(0x0028, 0x0103, "US", 0);
    if (image.IntensityRelationship) file.Text(0x0028, 0x1040, "CS", *image.IntensityRelationship);
    if (image.IntensitySign) file.Short(0x0028, 0x1041, "SS", static_cast<std::uint16_t>(*image.IntensitySign));

    const std::uint32_t pixelBytes = static_cast<std::uint32_t>(image.Pixels.size() * 2);
    file.U16(0x7FE0);
    file.U16(0x0010);
    file.Raw("OW");
    file.U16(0);
    file.U32(pixelBytes);
    for (std::uint16_t v : image.Pixels) file.U16(v);
    std::string bytes = file.Bytes();
    bytes.resize(bytes.size() - std::min<std::size_t>(image.MissingPixelBytes, pixelBytes));
    return bytes;
}

inline void WriteDicomFile(const std::filesystem::path& path, const TestImage& image)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << DicomFileBytes(image);
}

// An image of one value with single pixels planted at (column, row).
struct Plant {
    std::uint16_t X;
    std::uint16_t Y;
    std::uint16_t Value;
};
inline TestImage FlatImage(std::uint16_t rows, std::uint16_t columns, std::uint16_t value,
                           const std::vector<Plant>& plants = {})
{
    TestImage image;
    image.Rows = rows;
    image.Columns = columns;
    image.Pixels.assign(static_cast<std::size_t>(rows) * columns, value);
    for (const Plant& p : plants) image.Pixels[static_cast<std::size_t>(p.Y) * columns + p.X] = p.Value;
    return image;
}

// A fresh, empty folder under the system's temporary folder, removed with
// its content by the destructor.
class TempFolder {
public:
    TempFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "evenor-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

inline std::string ReadWholeFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteWholeFile(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

}  // namespace evenor::test
