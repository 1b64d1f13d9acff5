#pragma once
// ByteSource: the one bounds-checked way the DICOM reader takes bytes from a
// file or from memory.
//
// Every read says how many bytes it actually got, so a caller can tell a
// complete read from one cut short by the end of the data, and report where
// the data ended. Nothing here allocates a size taken from the data: callers
// compare a declared length with Remaining() before allocating.
//
// A file is read through a 64 KiB window, so parsing a header element by
// element costs one system call per 64 KiB, not one per field; reads larger
// than the window go straight to the caller's memory.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace evenor {

class Inflater;
class SharedFile;

enum class ByteOrder { Little, Big };

class ByteSource {
public:
    // Reads from memory; the bytes must outlive the source.
    explicit ByteSource(std::span<const std::uint8_t> bytes);
    // Reads from an open file, which must outlive the source.
    explicit ByteSource(const SharedFile& file);
    // Reads what the inflater gives, inflating as far as the reads go; the
    // inflater must outlive the source. Size() and Remaining() count the
    // bytes inflated so far.
    explicit ByteSource(Inflater& inflater);

    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;

    std::uint64_t Position() const { return position_; }
    std::uint64_t Size() const { return size_; }
    std::uint64_t Remaining() const { return position_ < size_ ? size_ - position_ : 0; }

    // True when count bytes remain after the position (an inflating source
    // inflates that far first, up to its limit).
    bool Has(std::uint64_t count);

    // Moves to an absolute position, which may lie beyond the end: reads there
    // then get nothing.
    void Seek(std::uint64_t position) { position_ = position; }

    // Copies up to count bytes to destination and advances by the number
    // copied, which is returned; fewer than count only at the end of the data.
    std::size_t Read(void* destination, std::size_t count);

    // Advances by count bytes when that many remain (true); otherwise moves to
    // the end of the data and returns false.
    bool Skip(std::uint64_t count);

    // Fixed-size numbers in the given byte order. False (position advanced by
    // the bytes that were there) when the data ends first.
    bool ReadUInt16(ByteOrder order, std::uint16_t& value);
    bool ReadUInt32(ByteOrder order, std::uint32_t& value);
    bool ReadUInt64(ByteOrder order, std::uint64_t& value);

private:
    std::size_t ReadFromFile(std::uint8_t* destination, std::size_t count);
    void Inflate(std::uint64_t count);

    static constexpr std::size_t kWindowSize = 64 * 1024;

    std::span<const std::uint8_t> memory_;
    const SharedFile* file_ = nullptr;
    Inflater* inflater_ = nullptr;
    std::uint64_t size_ = 0;
    std::uint64_t position_ = 0;
    std::vector<std::uint8_t> window_;  // file bytes [windowStart_, windowStart_ + window_.size())
    std::uint64_t windowStart_ = 0;
};

// Decodes an unsigned number of N bytes stored in the given byte order.
template <typename T> T DecodeUnsigned(const std::uint8_t* bytes, ByteOrder order)
{
    T value = 0;
    if (order == ByteOrder::Little) {
        for (std::size_t i = sizeof(T); i-- > 0;) value = static_cast<T>((value << 8) | bytes[i]);
    } else {
        for (std::size_t i = 0; i < sizeof(T); ++i) value = static_cast<T>((value << 8) | bytes[i]);
    }
    return value;
}

}  // namespace evenor
