// Pixel data access: loading the samples of an image into Pixels and copying
// rectangles out of it.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <vector>

#include "dicom/DicomLib.h"
#include "dicom/DicomTags.h"
#include "dicom/HugePages.h"
#include "dicom/Inflater.h"
#include "dicom/SharedFile.h"

namespace evenor {

namespace {

std::uint64_t BytesPerSample(std::uint8_t bitsAllocated) { return bitsAllocated > 8 ? 2 : 1; }

// Makes pixels `count` zeros. Memory of the right size is kept as it is
// (LoadPixels overwrites every value), so reloading allocates nothing.
void SizePixels(WordArray& pixels, std::size_t count)
{
    if (pixels.size() == count) return;
    WordArray fresh = HugePageVector<std::uint16_t>(count);
    pixels.swap(fresh);
}

}  // namespace

// Pixels becomes Rows x Columns zeros only when the file holds that many
// samples after PixelDataOffset, so the allocation is bounded by the file's
// own size whatever Rows and Columns say.
void TDicomBeeld::SizePixelsForFile(std::uint64_t fileSize)
{
    const std::uint64_t samples = static_cast<std::uint64_t>(rows_) * static_cast<std::uint64_t>(columns_);
    const std::uint64_t offset = static_cast<std::uint64_t>(pixelDataOffset_);
    if (offset <= fileSize && samples * BytesPerSample(bitsAllocated_) <= fileSize - offset)
        SizePixels(pixels_, samples);
    else
        WordArray().swap(pixels_);
}

void TDicomBeeld::LoadPixels()
{
    if (Encapsulated()) {
        LoadCompressedPixels();
        return;
    }
    if (coding_ == PixelCoding::Deflated) {
        LoadInflatedPixels();
        return;
    }
    const std::string path = directoryName_ + fileName_;
    const SharedFile file(path);
    if (!file.IsOpen()) throw EvenorError("Cannot open file " + path);

    const std::uint64_t samples = static_cast<std::uint64_t>(rows_) * static_cast<std::uint64_t>(columns_);
    const std::uint64_t bytesPerSample = BytesPerSample(bitsAllocated_);
    const std::uint64_t bytes = samples * bytesPerSample;
    const std::uint64_t offset = static_cast<std::uint64_t>(pixelDataOffset_);
    // Too short for the whole block: empty, and nothing allocated.
    if (offset > file.Size() || bytes > file.Size() - offset) {
        WordArray().swap(pixels_);
        return;
    }

    // Keeps the memory when the size is unchanged (the constructor sized it;
    // an analysis moves the values out, so its reload sizes them again), and a
    // load is one read straight into Pixels.
    SizePixels(pixels_, samples);
    bool complete;
    if (bytesPerSample == 2) {
        complete = file.ReadAt(pixels_.data(), bytes, offset) == bytes;
        const bool fileLittle = !bigEndian_;
        const bool hostLittle = std::endian::native == std::endian::little;
        if (complete && fileLittle != hostLittle) {
            for (auto& value : pixels_) value = static_cast<std::uint16_t>((value >> 8) | (value << 8));
        }
    } else {
        std::vector<std::uint8_t> scratch(samples);
        complete = file.ReadAt(scratch.data(), bytes, offset) == bytes;
        if (complete) std::copy(scratch.begin(), scratch.end(), pixels_.begin());
    }
    // The file shrank since it was measured, or could not be read.
    if (!complete) WordArray().swap(pixels_);
}

// The pixels of a deflated data set: from the data set the constructor kept,
// which they leave, or inflated again from the file for a reload.
void TDicomBeeld::LoadInflatedPixels()
{
    const std::uint64_t samples = static_cast<std::uint64_t>(rows_) * static_cast<std::uint64_t>(columns_);
    const std::uint64_t bytesPerSample = BytesPerSample(bitsAllocated_);
    const auto offset = static_cast<std::uint64_t>(pixelDataOffset_);
    const std::uint64_t end = offset + samples * bytesPerSample;
    std::vector<std::uint8_t> dataSet;
    dataSet.swap(inflated_);
    if (dataSet.size() < end) {
        const std::string path = directoryName_ + fileName_;
        const SharedFile file(path);
        if (!file.IsOpen()) throw EvenorError("Cannot open file " + path);
        std::vector<std::uint8_t> deflated(file.Size() > deflatedStart_ ? file.Size() - deflatedStart_ : 0);
        deflated.resize(file.ReadAt(deflated.data(), deflated.size(), deflatedStart_));
        Inflater inflater(std::move(deflated), end,
                          DecodeFailure("the deflated data set is corrupt", transferSyntaxUid_));
        inflater.Reach(end);
        dataSet = inflater.Take();
    }
    // Too short for the whole block: empty, as for an uncompressed file.
    if (dataSet.size() < end) {
        WordArray().swap(pixels_);
        return;
    }
    SizePixels(pixels_, samples);
    const std::uint8_t* source = dataSet.data() + offset;
    if (bytesPerSample == 2) {
        for (std::size_t i = 0; i < samples; ++i)
            pixels_[i] = static_cast<std::uint16_t>(source[2 * i] | (source[2 * i + 1] << 8));
    } else {
        std::copy(source, source + samples, pixels_.begin());
    }
}

// The encapsulated value runs from PixelDataOffset to the end of the file; it
// is read whole (the file's own size bounds it) and its first frame decoded.
void TDicomBeeld::LoadCompressedPixels()
{
    const std::string path = directoryName_ + fileName_;
    const SharedFile file(path);
    if (!file.IsOpen()) throw EvenorError("Cannot open file " + path);
    WordArray().swap(pixels_);

    FrameLayout layout;
    layout.Rows = static_cast<std::uint32_t>(std::max(rows_, 0));
    layout.Columns = static_cast<std::uint32_t>(std::max(columns_, 0));
    layout.BitsAllocated = bitsAllocated_;
    layout.TransferSyntaxUid = transferSyntaxUid_;
    for (const TagEntry& entry : tagTable_) {
        if (entry.Tag == tags::NumberOfFrames.Key) {
            const long frames = std::strtol(entry.Value.c_str(), nullptr, 10);
            layout.NumberOfFrames = frames > 1 ? static_cast<std::uint32_t>(std::min(frames, 0x7FFFFFFFL)) : 1;
            break;
        }
    }

    const auto offset = static_cast<std::uint64_t>(pixelDataOffset_);
    const std::uint64_t size = file.Size() > offset ? file.Size() - offset : 0;
    std::vector<std::uint8_t> encapsulated = HugePageVector<std::uint8_t>(static_cast<std::size_t>(size));
    if (file.ReadAt(encapsulated.data(), encapsulated.size(), offset) != encapsulated.size())
        throw EvenorError(DecodeFailure("the file could not be read whole", transferSyntaxUid_));
    pixels_ = DecodeFirstFrame(coding_, encapsulated, layout);
}

void TDicomBeeld::CopyRegion(std::uint32_t firstColumn, std::uint32_t firstRow, std::uint32_t lastColumn,
                             std::uint32_t lastRow, std::uint16_t* destination) const
{
    if (firstColumn > lastColumn || lastRow < firstRow) return;
    if (firstColumn == lastColumn && firstRow == lastRow) return;  // a single pixel is not copied

    const std::size_t width = static_cast<std::size_t>(lastColumn) - firstColumn + 1;
    const std::size_t stride = static_cast<std::size_t>(columns_);
    std::size_t k = 0;
    for (std::uint64_t row = firstRow; row <= lastRow; ++row) {
        const std::uint16_t* source = pixels_.data() + row * stride + firstColumn;
        std::copy_n(source, width, destination + k);
        k += width;
    }
}

}  // namespace evenor
