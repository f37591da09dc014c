#include "crashreport/image/png_writer.h"

#include <zlib.h>

#include <cstdlib>
#include <vector>

#include "crashreport/codec/zip.h"
#include "crashreport/image/bitmap.h"
#include "crashreport/text/byte_order.h"

namespace crashreport {

const std::array<std::uint8_t, 16> kGrayLevels = {0,   28,  52,  73,  92,  109, 125, 140,
                                                  155, 170, 185, 199, 213, 227, 241, 255};

std::uint8_t GrayValue(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    return static_cast<std::uint8_t>((77 * red + 151 * green + 28 * blue) / 256);
}

namespace {

// Wu's colour quantiser (variance minimisation) on 5 bits per channel.
class WuQuantizer {
public:
    explicit WuQuantizer(const INVBitmap& bitmap) : moments_(kSize * kSize * kSize) {
        const int w = bitmap.Width(), h = bitmap.Height();
        const std::uint8_t* bits = bitmap.Bits();
        for (long long i = 0; i < static_cast<long long>(w) * h; ++i) {
            const int b = bits[4 * i], g = bits[4 * i + 1], r = bits[4 * i + 2];
            Moment& m = At(r / 8 + 1, g / 8 + 1, b / 8 + 1);
            m.weight += 1;
            m.red += r;
            m.green += g;
            m.blue += b;
            m.squares += static_cast<double>(r * r + g * g + b * b);
        }
        Cumulate();
    }

    std::vector<PaletteColor> Palette(int wanted) {
        std::vector<Box> boxes(static_cast<std::size_t>(wanted));
        std::vector<double> variance(static_cast<std::size_t>(wanted), 0.0);
        boxes[0] = {0, 32, 0, 32, 0, 32};
        int count = 1;
        int next = 0;
        for (int i = 1; i < wanted; ++i) {
            if (Cut(boxes[static_cast<std::size_t>(next)], boxes[static_cast<std::size_t>(i)])) {
                variance[static_cast<std::size_t>(next)] = Volume(boxes[static_cast<std::size_t>(next)]) > 1 ? Variance(boxes[static_cast<std::size_t>(next)]) : 0.0;
                variance[static_cast<std::size_t>(i)] = Volume(boxes[static_cast<std::size_t>(i)]) > 1 ? Variance(boxes[static_cast<std::size_t>(i)]) : 0.0;
                count = i + 1;
            } else {
                variance[static_cast<std::size_t>(next)] = 0.0;
                --i;
            }
            next = 0;
            double largest = variance[0];
            for (int k = 1; k <= i; ++k) {
                if (variance[static_cast<std::size_t>(k)] > largest) {
                    largest = variance[static_cast<std::size_t>(k)];
                    next = k;
                }
            }
            if (largest <= 0.0) break;
        }
        std::vector<PaletteColor> palette;
        for (int k = 0; k < count; ++k) {
            const Box& box = boxes[static_cast<std::size_t>(k)];
            const long long weight = Sum(box, &Moment::weight);
            if (weight <= 0) continue;
            palette.push_back({static_cast<std::uint8_t>(Sum(box, &Moment::red) / weight),
                               static_cast<std::uint8_t>(Sum(box, &Moment::green) / weight),
                               static_cast<std::uint8_t>(Sum(box, &Moment::blue) / weight)});
        }
        return palette;
    }

private:
    static constexpr int kSize = 33;
    struct Moment {
        long long weight = 0, red = 0, green = 0, blue = 0;
        double squares = 0;
    };
    struct Box {
        int r0, r1, g0, g1, b0, b1;  // exclusive lower, inclusive upper
    };

    Moment& At(int r, int g, int b) { return moments_[static_cast<std::size_t>((r * kSize + g) * kSize + b)]; }
    const Moment& At(int r, int g, int b) const {
        return moments_[static_cast<std::size_t>((r * kSize + g) * kSize + b)];
    }

    void Cumulate() {
        for (int r = 1; r < kSize; ++r) {
            std::vector<Moment> area(kSize);
            for (int g = 1; g < kSize; ++g) {
                Moment line;
                for (int b = 1; b < kSize; ++b) {
                    Moment& m = At(r, g, b);
                    line.weight += m.weight;
                    line.red += m.red;
                    line.green += m.green;
                    line.blue += m.blue;
                    line.squares += m.squares;
                    Moment& a = area[static_cast<std::size_t>(b)];
                    a.weight += line.weight;
                    a.red += line.red;
                    a.green += line.green;
                    a.blue += line.blue;
                    a.squares += line.squares;
                    const Moment& below = At(r - 1, g, b);
                    m.weight = below.weight + a.weight;
                    m.red = below.red + a.red;
                    m.green = below.green + a.green;
                    m.blue = below.blue + a.blue;
                    m.squares = below.squares + a.squares;
                }
            }
        }
    }

    template <class T>
    T Sum(const Box& c, T Moment::*field) const {
        return At(c.r1, c.g1, c.b1).*field - At(c.r1, c.g1, c.b0).*field - At(c.r1, c.g0, c.b1).*field +
               At(c.r1, c.g0, c.b0).*field - At(c.r0, c.g1, c.b1).*field + At(c.r0, c.g1, c.b0).*field +
               At(c.r0, c.g0, c.b1).*field - At(c.r0, c.g0, c.b0).*field;
    }

    // The part of a box's sum that lies below its `axis` lower bound, and
    // above a cut at `position`.
    template <class T>
    T Bottom(const Box& c, int axis, T Moment::*field) const {
        switch (axis) {
            case 0:
                return -(At(c.r0, c.g1, c.b1).*field) + At(c.r0, c.g1, c.b0).*field + At(c.r0, c.g0, c.b1).*field -
                       At(c.r0, c.g0, c.b0).*field;
            case 1:
                return -(At(c.r1, c.g0, c.b1).*field) + At(c.r1, c.g0, c.b0).*field + At(c.r0, c.g0, c.b1).*field -
                       At(c.r0, c.g0, c.b0).*field;
            default:
                return -(At(c.r1, c.g1, c.b0).*field) + At(c.r1, c.g0, c.b0).*field + At(c.r0, c.g1, c.b0).*field -
                       At(c.r0, c.g0, c.b0).*field;
        }
    }

    template <class T>
    T Top(const Box& c, int axis, int position, T Moment::*field) const {
        switch (axis) {
            case 0:
                return At(position, c.g1, c.b1).*field - At(position, c.g1, c.b0).*field -
                       At(position, c.g0, c.b1).*field + At(position, c.g0, c.b0).*field;
            case 1:
                return At(c.r1, position, c.b1).*field - At(c.r1, position, c.b0).*field -
                       At(c.r0, position, c.b1).*field + At(c.r0, position, c.b0).*field;
            default:
                return At(c.r1, c.g1, position).*field - At(c.r1, c.g0, position).*field -
                       At(c.r0, c.g1, position).*field + At(c.r0, c.g0, position).*field;
        }
    }

    static long long Volume(const Box& c) {
        return static_cast<long long>(c.r1 - c.r0) * (c.g1 - c.g0) * (c.b1 - c.b0);
    }

    double Variance(const Box& c) const {
        const double r = static_cast<double>(Sum(c, &Moment::red));
        const double g = static_cast<double>(Sum(c, &Moment::green));
        const double b = static_cast<double>(Sum(c, &Moment::blue));
        const double squares = Sum(c, &Moment::squares);
        const double weight = static_cast<double>(Sum(c, &Moment::weight));
        return weight > 0 ? squares - (r * r + g * g + b * b) / weight : 0.0;
    }

    double Maximize(const Box& c, int axis, int first, int last, int& cut, long long whole_r, long long whole_g,
                    long long whole_b, long long whole_w) const {
        const long long base_r = Bottom(c, axis, &Moment::red), base_g = Bottom(c, axis, &Moment::green);
        const long long base_b = Bottom(c, axis, &Moment::blue), base_w = Bottom(c, axis, &Moment::weight);
        double best = 0.0;
        cut = -1;
        for (int i = first; i < last; ++i) {
            long long half_r = base_r + Top(c, axis, i, &Moment::red);
            long long half_g = base_g + Top(c, axis, i, &Moment::green);
            long long half_b = base_b + Top(c, axis, i, &Moment::blue);
            long long half_w = base_w + Top(c, axis, i, &Moment::weight);
            if (half_w == 0) continue;
            double temp = (static_cast<double>(half_r) * half_r + static_cast<double>(half_g) * half_g +
                           static_cast<double>(half_b) * half_b) / static_cast<double>(half_w);
            half_r = whole_r - half_r;
            half_g = whole_g - half_g;
            half_b = whole_b - half_b;
            half_w = whole_w - half_w;
            if (half_w == 0) continue;
            temp += (static_cast<double>(half_r) * half_r + static_cast<double>(half_g) * half_g +
                     static_cast<double>(half_b) * half_b) / static_cast<double>(half_w);
            if (temp > best) {
                best = temp;
                cut = i;
            }
        }
        return best;
    }

    bool Cut(Box& set1, Box& set2) const {
        const long long whole_r = Sum(set1, &Moment::red), whole_g = Sum(set1, &Moment::green);
        const long long whole_b = Sum(set1, &Moment::blue), whole_w = Sum(set1, &Moment::weight);
        int cut_r = -1, cut_g = -1, cut_b = -1;
        const double max_r = Maximize(set1, 0, set1.r0 + 1, set1.r1, cut_r, whole_r, whole_g, whole_b, whole_w);
        const double max_g = Maximize(set1, 1, set1.g0 + 1, set1.g1, cut_g, whole_r, whole_g, whole_b, whole_w);
        const double max_b = Maximize(set1, 2, set1.b0 + 1, set1.b1, cut_b, whole_r, whole_g, whole_b, whole_w);
        int axis;
        if (max_r >= max_g && max_r >= max_b) {
            axis = 0;
            if (cut_r < 0) return false;
        } else if (max_g >= max_r && max_g >= max_b) {
            axis = 1;
        } else {
            axis = 2;
        }
        set2 = set1;
        switch (axis) {
            case 0:
                set2.r0 = set1.r1 = cut_r;
                break;
            case 1:
                if (cut_g < 0) return false;
                set2.g0 = set1.g1 = cut_g;
                break;
            default:
                if (cut_b < 0) return false;
                set2.b0 = set1.b1 = cut_b;
                break;
        }
        return true;
    }

    std::vector<Moment> moments_;
};

std::uint32_t Adler32(const std::string& data) {
    return static_cast<std::uint32_t>(
        adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

void PutChunk(std::string& png, const char* type, const std::string& data) {
    PutBe32(png, static_cast<std::uint32_t>(data.size()));
    std::string body = std::string(type, 4) + data;
    png += body;
    PutBe32(png, Crc32Add(0xFFFFFFFFu, body.data(), body.size()) ^ 0xFFFFFFFFu);
}

}  // namespace

std::vector<PaletteColor> QuantizeColors(const INVBitmap& bitmap) {
    WuQuantizer quantizer(bitmap);
    return quantizer.Palette(256);
}

std::string AssemblePng(int width, int height, int bit_depth, const std::vector<PaletteColor>& palette,
                        const std::string& rows) {
    std::string png = "\x89PNG\r\n\x1a\n";
    std::string header;
    PutBe32(header, static_cast<std::uint32_t>(width));
    PutBe32(header, static_cast<std::uint32_t>(height));
    header.push_back(static_cast<char>(bit_depth));
    header.push_back(3);  // colour type: palette
    header.push_back(0);
    header.push_back(0);
    header.push_back(0);
    PutChunk(png, "IHDR", header);
    std::string entries;
    for (const PaletteColor& color : palette) {
        entries.push_back(static_cast<char>(color.red));
        entries.push_back(static_cast<char>(color.green));
        entries.push_back(static_cast<char>(color.blue));
    }
    PutChunk(png, "PLTE", entries);
    // A zlib stream: header, raw deflate data, Adler-32 of the rows.
    std::string data = "\x78\x01";
    std::string packed(DeflateBound(rows.size()), '\0');
    const std::size_t packed_size = DeflateText(rows.data(), packed.data(), rows.size(), packed.size());
    if (packed_size == 0) return {};
    data.append(packed.data(), packed_size);
    PutBe32(data, Adler32(rows));
    PutChunk(png, "IDAT", data);
    PutChunk(png, "IEND", {});
    return png;
}

std::string ColorPng(const INVBitmap& bitmap) {
    const int w = bitmap.Width(), h = bitmap.Height();
    std::vector<PaletteColor> palette = QuantizeColors(bitmap);
    if (palette.empty()) return {};
    // Pixels map to the nearest palette entry, cached by 5 bits per channel.
    std::vector<std::int16_t> cache(32768, -1);
    std::string rows;
    rows.reserve(static_cast<std::size_t>(h) * (static_cast<std::size_t>(w) + 1));
    for (int y = 0; y < h; ++y) {
        rows.push_back(0);
        for (int x = 0; x < w; ++x) {
            std::uint8_t r, g, b;
            GetPixel(bitmap, x, y, r, g, b);
            const std::size_t key = static_cast<std::size_t>((b >> 3) << 10 | (g >> 3) << 5 | (r >> 3));
            if (cache[key] < 0) {
                int best = 0, best_distance = 1 << 30;
                for (std::size_t k = 0; k < palette.size(); ++k) {
                    const int distance = std::abs(palette[k].red - r) + std::abs(palette[k].green - g) +
                                         std::abs(palette[k].blue - b);
                    if (distance < best_distance) {
                        best_distance = distance;
                        best = static_cast<int>(k);
                    }
                }
                cache[key] = static_cast<std::int16_t>(best);
            }
            rows.push_back(static_cast<char>(cache[key]));
        }
    }
    palette.resize(256);  // the palette chunk always holds 256 entries
    return AssemblePng(w, h, 8, palette, rows);
}

std::string GrayPng(const INVBitmap& bitmap) {
    const int w = bitmap.Width(), h = bitmap.Height();
    std::array<std::uint8_t, 256> level_of{};
    for (int value = 0; value < 256; ++value) {
        int best = 0;
        for (int k = 1; k < 16; ++k)
            if (std::abs(kGrayLevels[k] - value) < std::abs(kGrayLevels[best] - value)) best = k;
        level_of[static_cast<std::size_t>(value)] = static_cast<std::uint8_t>(best);
    }
    std::string rows;
    const std::size_t row_bytes = (static_cast<std::size_t>(w) + 1) / 2;
    rows.reserve(static_cast<std::size_t>(h) * (row_bytes + 1));
    for (int y = 0; y < h; ++y) {
        rows.push_back(0);
        for (int x = 0; x < w; x += 2) {
            std::uint8_t r, g, b;
            GetPixel(bitmap, x, y, r, g, b);
            std::uint8_t packed = static_cast<std::uint8_t>(level_of[GrayValue(r, g, b)] << 4);
            if (x + 1 < w) {
                GetPixel(bitmap, x + 1, y, r, g, b);
                packed |= level_of[GrayValue(r, g, b)];
            }
            rows.push_back(static_cast<char>(packed));
        }
    }
    std::vector<PaletteColor> palette;
    for (std::uint8_t level : kGrayLevels) palette.push_back({level, level, level});
    return AssemblePng(w, h, 4, palette, rows);
}

}  // namespace crashreport
