// Tests of the GIF decoder and the pixel-to-value mapping: hand-built images of both versions
// and every minimum code size decode exactly; malformed files end in the FATAL entry, code 22.
#include "grids/gif_image_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "core/error_code.h"
#include "tests/grids/gif_test_encoder.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

using test::GifEncoding;
using test::GifPicture;
using ::testing::HasSubstr;

// Pixels of width x height cells in 0..2^bits-1 with runs and repeats (so LZW builds long
// strings) and some noise (so the table grows).
GifPicture Pattern(int width, int height, int bits, uint32_t seed = 7) {
  GifPicture picture{width, height, {}};
  const int colours = 1 << bits;
  for (int i = 0; i < width * height; ++i) {
    seed = seed * 1103515245u + 12345u;
    const bool noise = (seed >> 16) % 5 == 0;
    picture.pixels.push_back(
        static_cast<uint8_t>(noise ? (seed >> 8) % colours : (i / 3 + i / width) % colours));
  }
  return picture;
}

class GifReaderTest : public test::DiagTest {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = dir_ / name;
    test::WriteFile(path, bytes);
    return path;
  }

  // Decodes the file through the reader's calling order: size, raster, decode.
  GridMatrix DecodeFile(const std::string& path) {
    GifImageReader reader(diag_, path);
    int width = 0, height = 0;
    reader.ReadSize(width, height);
    GridMatrix raster(diag_, 1, height, width, 0);
    reader.Decode(raster);
    return raster;
  }

  void ExpectDecoded(const std::string& bytes, const GifPicture& picture) {
    const GridMatrix raster = DecodeFile(Write("image.gif", bytes));
    for (int i = 0; i < picture.width * picture.height; ++i) {
      const int pixel = picture.pixels[static_cast<size_t>(i)];
      const double expected = pixel > 250 ? -9999.0 : pixel;
      ASSERT_EQ(raster[i / picture.width + 1][i % picture.width + 1], expected) << "pixel " << i;
    }
  }

  // The file is rejected with "error reading GIF <path> (<reason>)" and code 22.
  void ExpectRejected(const std::string& bytes, const std::string& reason) {
    const std::string path = Write("bad.gif", bytes);
    screen_.str("");
    try {
      DecodeFile(path);
      ADD_FAILURE() << "decoded without error, expected: " << reason;
    } catch (const ErrorCode& error) {
      EXPECT_EQ(error.code, 22);
      EXPECT_THAT(screen_.str(), HasSubstr("error reading GIF " + path + " (" + reason + ")"));
    }
  }
};

TEST_F(GifReaderTest, DecodesBothVersionsAtEveryMinimumCodeSize) {
  for (const std::string version : {"87a", "89a"}) {
    for (int bits = 2; bits <= 8; ++bits) {
      SCOPED_TRACE(version + " minimum code size " + std::to_string(bits));
      GifEncoding encoding;
      encoding.version = version;
      encoding.minimum_code_size = bits;
      encoding.global_palette_bits = bits - 1;
      const GifPicture picture = Pattern(37, 23, bits);
      ExpectDecoded(test::EncodeGif(picture, encoding), picture);
    }
  }
}

// The 10 x 10 three-colour image and its LZW data as published in a well-known walk-through of
// the format (minimum code size 2): an encoding made independently of our test encoder.
TEST_F(GifReaderTest, DecodesPublishedSampleImage) {
  const std::string data(
      "\x8C\x2D\x99\x87\x2A\x1C\xDC\x33\xA0\x02\x75\xEC\x95\xFA\xA8\xDE\x60"
      "\x8C\x04\x91\x4C\x01",
      22);
  const std::string rows[10] = {"1111122222", "1111122222", "1111122222", "1110000222",
                                "1110000222", "2220000111", "2220000111", "2222211111",
                                "2222211111", "2222211111"};
  GifPicture picture{10, 10, {}};
  for (const std::string& row : rows)
    for (char c : row) picture.pixels.push_back(static_cast<uint8_t>(c - '0'));
  ExpectDecoded(test::GifHeader("89a", 10, 10, 1) + test::GifImageBlock(10, 10, 2, data) + "\x3B",
                picture);
}

TEST_F(GifReaderTest, FullTableAndClearCodesMidStream) {
  // 240 x 120 noisy bytes fill the 4096-entry table several times.
  const GifPicture picture = Pattern(240, 120, 8, 99);
  GifEncoding clears_when_full;
  ExpectDecoded(test::EncodeGif(picture, clears_when_full), picture);
  GifEncoding keeps_full_table;  // 12-bit codes go on without a clear code
  keeps_full_table.keep_full_table = true;
  ExpectDecoded(test::EncodeGif(picture, keeps_full_table), picture);
  GifEncoding frequent_clears;
  frequent_clears.clear_every = 5;
  frequent_clears.minimum_code_size = 4;
  const GifPicture small = Pattern(31, 17, 4);
  ExpectDecoded(test::EncodeGif(small, frequent_clears), small);
}

TEST_F(GifReaderTest, PalettesExtensionsAndSubBlocksDoNotChangeTheValues) {
  const GifPicture picture = Pattern(19, 11, 8);
  GifEncoding plain;
  plain.global_palette_bits = -1;
  ExpectDecoded(test::EncodeGif(picture, plain), picture);
  GifEncoding decorated;
  decorated.global_palette_bits = 2;
  decorated.local_palette_bits = 7;
  decorated.sub_block_size = 7;  // codes straddle sub-blocks
  decorated.before_image = test::GraphicControlExtension() + test::CommentExtension("radar") +
                           test::ApplicationExtension() + test::PlainTextExtension();
  ExpectDecoded(test::EncodeGif(picture, decorated), picture);
}

TEST_F(GifReaderTest, PixelsAbove250AreNodata) {
  const GifPicture picture{3, 2, {0, 250, 251, 254, 255, 127}};
  const GridMatrix raster = DecodeFile(Write("nodata.gif", test::EncodeGif(picture)));
  EXPECT_EQ(raster[1][1], 0.0);
  EXPECT_EQ(raster[1][2], 250.0);
  EXPECT_EQ(raster[1][3], -9999.0);
  EXPECT_EQ(raster[2][1], -9999.0);
  EXPECT_EQ(raster[2][2], -9999.0);
  EXPECT_EQ(raster[2][3], 127.0);
}

TEST_F(GifReaderTest, ReadSizeGivesScreenSize) {
  GifImageReader reader(diag_, Write("size.gif", test::EncodeGif(Pattern(300, 2, 3))));
  int width = 0, height = 0;
  reader.ReadSize(width, height);
  EXPECT_EQ(width, 300);
  EXPECT_EQ(height, 2);
}

TEST_F(GifReaderTest, RejectsBrokenFiles) {
  const GifPicture picture = Pattern(8, 6, 8);
  const std::string good = test::EncodeGif(picture);
  ExpectRejected("GIF88a" + good.substr(6),
                 "the file does not begin with the signature GIF87a or GIF89a");
  ExpectRejected(good.substr(0, 10), "the file ends after 10 bytes");
  ExpectRejected(good.substr(0, good.size() - 4),
                 "the file ends after " + std::to_string(good.size() - 4) + " bytes");
  ExpectRejected(good.substr(0, good.size() - 1),
                 "the file ends after " + std::to_string(good.size() - 1) + " bytes");
  ExpectRejected(test::GifHeader("89a", 0, 5, -1) + "\x3B",
                 "the image is 0 pixels wide and 5 pixels high");
  ExpectRejected(test::GifHeader("89a", 1, 1, -1) + "\x3B", "the file holds no image");
  const std::string header = test::GifHeader("89a", 8, 6, 7);
  const std::string image = good.substr(header.size());
  ExpectRejected(header + "\x21\x0A" + image, "invalid extension type ID \"0xA\" found");
  ExpectRejected(header + "\x07" + image, "invalid extension type ID \"0x7\" found");
  ExpectRejected(header + std::string("\x21\xF9\x04\x00\x00\x00\x00\x01", 8) + image,
                 "Graphics COntrol extension found, but block end not found as 0x00 after 4 bytes");
  std::string code_size_9 = good;
  code_size_9[header.size() + 10] = 9;
  ExpectRejected(code_size_9, "invalid LZW minimum code size 9");
  EXPECT_THROW(DecodeFile(dir_ / "missing.gif"), ErrorCode);
  EXPECT_THAT(screen_.str(), HasSubstr("(the file cannot be opened)"));
}

TEST_F(GifReaderTest, RejectsBrokenLzwStreams) {
  // Minimum code size 2: clear code 4, end code 5, 3-bit codes, table of 6 root entries.
  auto image_of_codes = [](int width, int height, const test::GifCodes& codes) {
    return test::GifHeader("87a", width, height, 1) +
           test::GifImageBlock(width, height, 2, test::PackCodes(codes)) + "\x3B";
  };
  ExpectRejected(image_of_codes(2, 1, {{1, 3}, {2, 3}, {5, 3}}),
                 "LZW data do not begin with a clear code");
  ExpectRejected(image_of_codes(2, 1, {{4, 3}, {6, 3}, {5, 3}}),
                 "LZW code 6 beyond the code table of 6 entries");
  ExpectRejected(image_of_codes(3, 1, {{4, 3}, {1, 3}, {7, 3}, {5, 3}}),
                 "LZW code 7 beyond the code table of 6 entries");
  // Three pixels for a 2 x 1 image, and one pixel for a 2 x 1 image.
  ExpectRejected(image_of_codes(2, 1, {{4, 3}, {1, 3}, {2, 3}, {3, 3}, {5, 3}}),
                 "image data hold more than the 2 pixels of the image");
  ExpectRejected(image_of_codes(2, 1, {{4, 3}, {1, 3}, {5, 3}}),
                 "image data end after 1 of 2 pixels");
  // A raster smaller than the image is refused rather than overrun.
  GifImageReader reader(diag_, Write("small.gif", test::EncodeGif(Pattern(4, 4, 8))));
  GridMatrix raster(diag_, 1, 3, 4, 0);
  EXPECT_THROW(reader.Decode(raster), ErrorCode);
}

TEST(GifPixelMapping, HandComputedValues) {
  const GifValueMapping defaults;
  EXPECT_EQ(GifPixelToValue(0.0, defaults), 0.0);
  // 8.916787e-05 * exp(100 * 0.0767528404) = 0.19210643 and the same at 127 = 1.52595577.
  EXPECT_NEAR(GifPixelToValue(100.0, defaults), 0.19210643, 1e-8);
  EXPECT_NEAR(GifPixelToValue(127.0, defaults), 1.52595577, 1e-8);
  EXPECT_EQ(GifPixelToValue(251.0, defaults), -9999.0);
  EXPECT_EQ(GifPixelToValue(-9999.0, defaults), -9999.0);
  EXPECT_EQ(GifPixelToValue(-10000.0, defaults), -10000.0);
  // The second pair takes over above the limit: 6e-6 * exp(128 * 0.098) = 1.68244638 and
  // 6e-6 * exp(250 * 0.098) = 262039.0746.
  const GifValueMapping radar{0.0767528404, 8.916787e-05, 0.098, 6.0e-6, 127};
  EXPECT_NEAR(GifPixelToValue(127.0, radar), 1.52595577, 1e-8);
  EXPECT_NEAR(GifPixelToValue(128.0, radar), 1.68244638, 1e-8);
  EXPECT_NEAR(GifPixelToValue(250.0, radar), 262039.0746, 1e-3);

  double row[4] = {5.0, 100.0, 251.0, -9999.0};
  double* rows[2] = {nullptr, row};
  GifImageReader::ConvertPixelValues(rows, 1, 3, 1, 1, defaults);
  EXPECT_EQ(row[0], 5.0);  // column 0 lies outside the rectangle
  EXPECT_NEAR(row[1], 0.19210643, 1e-8);
  EXPECT_EQ(row[2], -9999.0);
  EXPECT_EQ(row[3], -9999.0);
}

}  // namespace
}  // namespace velorn
