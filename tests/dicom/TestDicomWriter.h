#pragma once
// A small writer of DICOM byte streams for tests: elements with explicit or
// implicit VR, in either byte order, with or without the preamble, and with
// length fields that may lie about their values.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace evenor::test {

enum class Order { Little, Big };

class TestDicomWriter {
public:
    std::vector<std::uint8_t> bytes;
    Order order = Order::Little;

    // 128 zero bytes and "DICM".
    TestDicomWriter& Preamble()
    {
        bytes.resize(bytes.size() + 128, 0);
        return Raw("DICM");
    }

    TestDicomWriter& SetOrder(Order o)
    {
        order = o;
        return *this;
    }

    TestDicomWriter& Raw(std::string_view data)
    {
        bytes.insert(bytes.end(), data.begin(), data.end());
        return *this;
    }

    TestDicomWriter& U16(std::uint16_t v)
    {
        return Raw(Bytes16(v));
    }
    TestDicomWriter& U32(std::uint32_t v)
    {
        return Raw(Bytes32(v));
    }

    // An explicit-VR element; OB, OW, SQ, UN and UT get the long header.
    TestDicomWriter& Explicit(std::uint32_t tag, std::string_view vr, std::string_view value)
    {
        return ExplicitWithLength(tag, vr, static_cast<std::uint32_t>(value.size()), value);
    }

    // An explicit-VR element whose length field says `length`, followed by
    // `value` (which need not have that length).
    TestDicomWriter& ExplicitWithLength(std::uint32_t tag, std::string_view vr, std::uint32_t length,
                                        std::string_view value)
    {
        Tag(tag);
        Raw(vr);
        if (vr == "OB" || vr == "OW" || vr == "SQ" || vr == "UN" || vr == "UT") {
            U16(0);
            U32(length);
        } else {
            U16(static_cast<std::uint16_t>(length));
        }
        return Raw(value);
    }

    TestDicomWriter& Implicit(std::uint32_t tag, std::string_view value)
    {
        return ImplicitWithLength(tag, static_cast<std::uint32_t>(value.size()), value);
    }

    TestDicomWriter& ImplicitWithLength(std::uint32_t tag, std::uint32_t length, std::string_view value)
    {
        Tag(tag);
        U32(length);
        return Raw(value);
    }

    TestDicomWriter& Tag(std::uint32_t tag)
    {
        U16(static_cast<std::uint16_t>(tag >> 16));
        return U16(static_cast<std::uint16_t>(tag & 0xFFFF));
    }

    // Values in the current byte order, for element contents.
    std::string Bytes16(std::uint16_t v) const
    {
        return Ordered(v, 2);
    }
    std::string Bytes32(std::uint32_t v) const
    {
        return Ordered(v, 4);
    }
    std::string Bytes64(std::uint64_t v) const
    {
        return Ordered(v, 8);
    }
    std::string Float32(float v) const
    {
        std::uint32_t u;
        std::memcpy(&u, &v, 4);
        return Bytes32(u);
    }
    std::string Float64(double v) const
    {
        std::uint64_t u;
        std::memcpy(&u, &v, 8);
        return Bytes64(u);
    }
    std::string Words(std::initializer_list<std::uint16_t> values) const
    {
        std::string out;
        for (auto v : values) out += Bytes16(v);
        return out;
    }

    std::size_t Size() const { return bytes.size(); }
    std::span<const std::uint8_t> Span() const { return bytes; }

    void WriteTo(const std::filesystem::path& path) const
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

private:
    std::string Ordered(std::uint64_t v, int size) const
    {
        std::string out(static_cast<std::size_t>(size), '\0');
        for (int i = 0; i < size; ++i) {
            const int shift = 8 * (order == Order::Little ? i : size - 1 - i);
            out[static_cast<std::size_t>(i)] = static_cast<char>((v >> shift) & 0xFF);
        }
        return out;
    }
};

}  // namespace evenor::test
