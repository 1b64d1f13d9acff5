#include "dicom/ByteSource.h"

#include <algorithm>
#include <cstring>

#include "dicom/Inflater.h"
#include "dicom/SharedFile.h"

namespace evenor {

ByteSource::ByteSource(std::span<const std::uint8_t> bytes) : memory_(bytes), size_(bytes.size()) {}

ByteSource::ByteSource(const SharedFile& file) : file_(&file), size_(file.Size()) {}

ByteSource::ByteSource(Inflater& inflater) : memory_(inflater.Bytes()), inflater_(&inflater), size_(inflater.Size()) {}

// An inflating source grows to cover count bytes after the position.
void ByteSource::Inflate(std::uint64_t count)
{
    if (inflater_ == nullptr || count <= Remaining()) return;
    inflater_->Reach(position_ + count < position_ ? UINT64_MAX : position_ + count);
    memory_ = inflater_->Bytes();
    size_ = inflater_->Size();
}

bool ByteSource::Has(std::uint64_t count)
{
    Inflate(count);
    return count <= Remaining();
}

std::size_t ByteSource::Read(void* destination, std::size_t count)
{
    Inflate(count);
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(count, Remaining()));
    if (wanted == 0) return 0;
    auto* out = static_cast<std::uint8_t*>(destination);
    std::size_t got;
    if (file_ == nullptr) {
        std::memcpy(out, memory_.data() + position_, wanted);
        got = wanted;
    } else {
        got = ReadFromFile(out, wanted);
    }
    position_ += got;
    return got;
}

bool ByteSource::Skip(std::uint64_t count)
{
    Inflate(count);
    if (count <= Remaining()) {
        position_ += count;
        return true;
    }
    position_ = std::max(position_, size_);
    return false;
}

bool ByteSource::ReadUInt16(ByteOrder order, std::uint16_t& value)
{
    std::uint8_t bytes[2];
    if (Read(bytes, 2) != 2) return false;
    value = DecodeUnsigned<std::uint16_t>(bytes, order);
    return true;
}

bool ByteSource::ReadUInt32(ByteOrder order, std::uint32_t& value)
{
    std::uint8_t bytes[4];
    if (Read(bytes, 4) != 4) return false;
    value = DecodeUnsigned<std::uint32_t>(bytes, order);
    return true;
}

bool ByteSource::ReadUInt64(ByteOrder order, std::uint64_t& value)
{
    std::uint8_t bytes[8];
    if (Read(bytes, 8) != 8) return false;
    value = DecodeUnsigned<std::uint64_t>(bytes, order);
    return true;
}

// Reads count bytes (already known to lie before size_) at position_. A file
// that turns out shorter than its size at open time ends where it now ends.
std::size_t ByteSource::ReadFromFile(std::uint8_t* destination, std::size_t count)
{
    std::size_t done = 0;
    while (done < count) {
        const std::uint64_t at = position_ + done;
        if (at >= windowStart_ && at < windowStart_ + window_.size()) {
            const std::size_t offset = static_cast<std::size_t>(at - windowStart_);
            const std::size_t n = std::min(count - done, window_.size() - offset);
            std::memcpy(destination + done, window_.data() + offset, n);
            done += n;
            continue;
        }
        const std::size_t left = count - done;
        if (left >= kWindowSize) {
            // Large values go straight to the caller's memory.
            const std::size_t n = file_->ReadAt(destination + done, left, at);
            done += n;
            if (n < left) break;
            continue;
        }
        window_.resize(kWindowSize);
        const std::size_t n = file_->ReadAt(window_.data(), kWindowSize, at);
        window_.resize(n);
        windowStart_ = at;
        if (n == 0) break;
    }
    if (done < count) size_ = position_ + done;  // the file shrank since it was opened
    return done;
}

}  // namespace evenor
