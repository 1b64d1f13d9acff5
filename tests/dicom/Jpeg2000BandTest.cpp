// Large JPEG 2000 images are decoded in bands of rows: every band size gives
// the samples a whole decode gives, for single- and multi-tile codestreams.
#include <openjpeg.h>

#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "dicom/Codecs.h"

namespace evenor::test {
namespace {

struct Output {
    std::vector<std::uint8_t> Bytes;
};

OPJ_SIZE_T Write(void* buffer, OPJ_SIZE_T count, void* data)
{
    auto* out = static_cast<Output*>(data);
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    out->Bytes.insert(out->Bytes.end(), bytes, bytes + count);
    return count;
}
OPJ_OFF_T Skip(OPJ_OFF_T count, void* data)
{
    auto* out = static_cast<Output*>(data);
    out->Bytes.resize(out->Bytes.size() + static_cast<std::size_t>(count));
    return count;
}
OPJ_BOOL Seek(OPJ_OFF_T, void*) { return OPJ_FALSE; }

// A reversible (lossless) J2K codestream of the samples, in tiles of the
// given size (0: one tile).
std::vector<std::uint8_t> Encode(const std::vector<std::uint16_t>& samples, std::uint32_t columns, std::uint32_t rows,
                                 int precision, std::uint32_t tile)
{
    opj_image_cmptparm_t component{};
    component.dx = component.dy = 1;
    component.w = columns;
    component.h = rows;
    component.prec = static_cast<OPJ_UINT32>(precision);
    component.sgnd = 0;
    std::unique_ptr<opj_image_t, decltype(&opj_image_destroy)> image(opj_image_create(1, &component, OPJ_CLRSPC_GRAY),
                                                                     opj_image_destroy);
    image->x1 = columns;
    image->y1 = rows;
    for (std::size_t i = 0; i < samples.size(); ++i) image->comps[0].data[i] = samples[i];

    opj_cparameters_t parameters;
    opj_set_default_encoder_parameters(&parameters);
    parameters.tcp_numlayers = 1;
    parameters.tcp_rates[0] = 0;  // lossless
    parameters.cp_disto_alloc = 1;
    if (tile > 0) {
        parameters.tile_size_on = OPJ_TRUE;
        parameters.cp_tdx = parameters.cp_tdy = static_cast<int>(tile);
    }
    std::unique_ptr<opj_codec_t, decltype(&opj_destroy_codec)> codec(opj_create_compress(OPJ_CODEC_J2K),
                                                                     opj_destroy_codec);
    EXPECT_TRUE(opj_setup_encoder(codec.get(), &parameters, image.get()));
    Output out;
    std::unique_ptr<opj_stream_t, decltype(&opj_stream_destroy)> stream(opj_stream_create(1 << 16, OPJ_FALSE),
                                                                        opj_stream_destroy);
    opj_stream_set_user_data(stream.get(), &out, nullptr);
    opj_stream_set_write_function(stream.get(), Write);
    opj_stream_set_skip_function(stream.get(), Skip);
    opj_stream_set_seek_function(stream.get(), Seek);
    EXPECT_TRUE(opj_start_compress(codec.get(), image.get(), stream.get()));
    EXPECT_TRUE(opj_encode(codec.get(), stream.get()));
    EXPECT_TRUE(opj_end_compress(codec.get(), stream.get()));
    return std::move(out.Bytes);
}

TEST(Jpeg2000BandTest, EveryBandSizeGivesTheWholeImage)
{
    struct Case {
        std::uint32_t Columns, Rows;
        int Bits;
        std::uint32_t Tile;
    };
    for (const Case c : {Case{97, 131, 16, 0}, Case{97, 131, 16, 32}, Case{64, 77, 8, 0}, Case{200, 45, 16, 64}}) {
        SCOPED_TRACE(testing::Message() << c.Columns << " x " << c.Rows << ", tile " << c.Tile);
        std::vector<std::uint16_t> samples(static_cast<std::size_t>(c.Columns) * c.Rows);
        std::uint32_t state = 12345;
        for (auto& v : samples) {
            state = state * 1103515245u + 12345u;
            v = static_cast<std::uint16_t>(c.Bits == 8 ? state >> 24 : 2000 + (state >> 26));
        }
        const std::vector<std::uint8_t> codestream = Encode(samples, c.Columns, c.Rows, c.Bits == 8 ? 8 : 12, c.Tile);
        FrameLayout layout;
        layout.Rows = c.Rows;
        layout.Columns = c.Columns;
        layout.BitsAllocated = static_cast<std::uint8_t>(c.Bits);
        layout.TransferSyntaxUid = "1.2.840.10008.1.2.4.90";
        for (const std::uint32_t band : {0u, 1u, 7u, 32u, 33u, c.Rows - 1, c.Rows}) {
            SCOPED_TRACE(band);
            WordArray out;
            codecs::DecodeJpeg2000InBands(codestream, layout, out, band);
            EXPECT_EQ(out, samples);
        }
    }
}

}  // namespace
}  // namespace evenor::test
