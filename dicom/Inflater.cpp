#include "dicom/Inflater.h"

#include <algorithm>
#include <limits>

#include <zlib.h>

#include "base/EvenorError.h"

namespace evenor {

struct Inflater::Stream {
    z_stream Z{};
};

Inflater::Inflater(std::vector<std::uint8_t> deflated, std::uint64_t limit, std::string corruptMessage)
    : stream_(std::make_unique<Stream>()), deflated_(std::move(deflated)), limit_(limit),
      corruptMessage_(std::move(corruptMessage))
{
    // Raw deflate: no zlib header, 32 KiB window.
    if (inflateInit2(&stream_->Z, -MAX_WBITS) != Z_OK) throw EvenorError(corruptMessage_);
    stream_->Z.next_in = deflated_.data();
    stream_->Z.avail_in = static_cast<uInt>(std::min<std::size_t>(deflated_.size(), std::numeric_limits<uInt>::max()));
}

Inflater::~Inflater() { inflateEnd(&stream_->Z); }

void Inflater::Reach(std::uint64_t size)
{
    constexpr std::uint64_t kStep = 256 * 1024;
    size = std::min(size, limit_);
    z_stream& z = stream_->Z;
    while (!ended_ && inflated_.size() < size) {
        if (z.avail_in == 0) {
            // Streams beyond 4 GiB are handed over in parts.
            const auto used = static_cast<std::size_t>(z.next_in - deflated_.data());
            z.avail_in =
                static_cast<uInt>(std::min<std::size_t>(deflated_.size() - used, std::numeric_limits<uInt>::max()));
        }
        // Grow by doubling (at least a step) towards what is asked for: the
        // memory follows the bytes the stream really gives, not a length
        // claimed in them, and a reader asking byte by byte costs few
        // reallocations.
        const std::uint64_t have = inflated_.size();
        const std::uint64_t target = std::min({limit_, size, std::max(have + kStep, have * 2)});
        inflated_.resize(static_cast<std::size_t>(target));
        z.next_out = inflated_.data() + have;
        z.avail_out = static_cast<uInt>(std::min<std::uint64_t>(target - have, std::numeric_limits<uInt>::max()));
        const uInt before = z.avail_out;
        const uInt inputBefore = z.avail_in;
        const int status = inflate(&z, Z_NO_FLUSH);
        inflated_.resize(static_cast<std::size_t>(have + (before - z.avail_out)));
        if (status == Z_STREAM_END) {
            ended_ = true;
        } else if (status == Z_BUF_ERROR || (status == Z_OK && before == z.avail_out && inputBefore == z.avail_in)) {
            ended_ = true;  // out of input: the stream ends early, what is there stays
        } else if (status != Z_OK) {
            throw EvenorError(corruptMessage_);
        }
    }
}

}  // namespace evenor
