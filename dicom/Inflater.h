#pragma once
// Inflater: the data set of a Deflated Explicit VR Little Endian file
// (everything after the file meta group is one raw deflate stream), inflated
// as far as a reader asks and no further.
//
// The inflated bytes grow only to what was asked for and never beyond the
// limit, so a small stream that would inflate to gigabytes costs no more than
// the reader needs: the header, then Rows x Columns samples.
// Failure contract: Reach throws EvenorError(message) for a corrupt stream;
// a stream that ends early just stops growing.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace evenor {

class Inflater {
public:
    // deflated: the stream's bytes; message: the text of a corrupt stream.
    Inflater(std::vector<std::uint8_t> deflated, std::uint64_t limit, std::string corruptMessage);
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // Inflates until Size() >= size, the stream ends or the limit is reached.
    void Reach(std::uint64_t size);
    void SetLimit(std::uint64_t limit) { limit_ = limit; }

    std::uint64_t Size() const { return inflated_.size(); }
    std::span<const std::uint8_t> Bytes() const { return inflated_; }
    // Hands the inflated bytes over; the inflater is empty afterwards.
    std::vector<std::uint8_t> Take() { return std::move(inflated_); }

private:
    struct Stream;
    std::unique_ptr<Stream> stream_;
    std::vector<std::uint8_t> deflated_;
    std::vector<std::uint8_t> inflated_;
    std::uint64_t limit_;
    std::string corruptMessage_;
    bool ended_ = false;
};

}  // namespace evenor
