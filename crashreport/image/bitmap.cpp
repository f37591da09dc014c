#include "crashreport/image/bitmap.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <system_error>

#include "crashreport/image/png_writer.h"
#include "crashreport/os/file_access.h"
#include "crashreport/text/byte_order.h"

namespace crashreport {

namespace {

bool WriteWholeFile(const std::filesystem::path& file, const std::string& data) {
    // A short write leaves no half picture behind.
    return !data.empty() && WriteOwnFile(file, data);
}

double Mitchell(double x) {
    x = std::fabs(x);
    if (x < 1.0) return (7.0 / 6.0) * x * x * x - 2.0 * x * x + 8.0 / 9.0;
    if (x < 2.0) return (-7.0 / 18.0) * x * x * x + 2.0 * x * x - (10.0 / 3.0) * x + 16.0 / 9.0;
    return 0.0;
}

// Source index mirrored at the picture's edges.
int Mirror(int index, int size) {
    if (size == 1) return 0;
    while (index < 0 || index >= size) {
        if (index < 0) index = -index - 1;
        if (index >= size) index = 2 * size - index - 1;
    }
    return index;
}

struct Contribution {
    std::vector<int> source;
    std::vector<int> weight;  // 16.16 fixed point, summing to 65536
};

// The source pixels and weights behind every target pixel of one axis. When
// shrinking, the filter is widened by the reduction factor.
std::vector<Contribution> Contributions(int source_size, int target_size) {
    std::vector<Contribution> result(static_cast<std::size_t>(target_size));
    const double scale = static_cast<double>(source_size) / target_size;
    const double widen = std::max(scale, 1.0);
    const double support = 2.0 * widen;
    for (int t = 0; t < target_size; ++t) {
        const double center = (t + 0.5) * scale - 0.5;
        const int first = static_cast<int>(std::ceil(center - support));
        const int last = static_cast<int>(std::floor(center + support));
        std::vector<double> weights;
        double total = 0;
        for (int s = first; s <= last; ++s) {
            const double w = Mitchell((s - center) / widen);
            weights.push_back(w);
            total += w;
        }
        Contribution& c = result[static_cast<std::size_t>(t)];
        int fixed_total = 0;
        for (int s = first; s <= last; ++s) {
            const double w = total != 0 ? weights[static_cast<std::size_t>(s - first)] / total : 0;
            const int fixed = static_cast<int>(std::lround(w * 65536.0));
            if (fixed == 0) continue;
            c.source.push_back(Mirror(s, source_size));
            c.weight.push_back(fixed);
            fixed_total += fixed;
        }
        // Rounding leftovers go to the strongest weight, so flat areas stay flat.
        if (!c.weight.empty()) {
            auto strongest = std::max_element(c.weight.begin(), c.weight.end());
            *strongest += 65536 - fixed_total;
        }
    }
    return result;
}

class TINVBitmap : public INVBitmap {
public:
    TINVBitmap(int width, int height) : width_(width), height_(height),
        bits_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, 0) {}

    int Width() const override { return width_; }
    int Height() const override { return height_; }
    const std::uint8_t* Bits() const override { return bits_.data(); }
    std::uint8_t* Bits() override { return bits_.data(); }

    std::string BmpData() const override {
        const auto image_size = static_cast<std::uint32_t>(bits_.size());
        std::string bmp = "BM";
        PutLe32(bmp, 54 + image_size);
        PutLe16(bmp, 0);
        PutLe16(bmp, 0);
        PutLe32(bmp, 54);
        PutLe32(bmp, 40);
        PutLe32(bmp, static_cast<std::uint32_t>(width_));
        PutLe32(bmp, static_cast<std::uint32_t>(height_));  // positive: rows bottom-up
        PutLe16(bmp, 1);
        PutLe16(bmp, 32);
        PutLe32(bmp, 0);
        PutLe32(bmp, image_size);
        for (int i = 0; i < 4; ++i) PutLe32(bmp, 0);
        bmp.append(reinterpret_cast<const char*>(bits_.data()), bits_.size());
        return bmp;
    }

    std::string PngData(int format) const override {
        static const std::size_t kGrayAbove[] = {0, 0, 51200, 102400, 204800, 307200};
        if (format == 1) return GrayPng(*this);
        std::string color = ColorPng(*this);
        if (color.empty()) return GrayPng(*this);
        if (format >= 2 && format <= 5 && color.size() > kGrayAbove[format]) {
            std::string gray = GrayPng(*this);
            if (!gray.empty() && gray.size() < color.size()) return gray;
        }
        return color;
    }

    bool SaveAsBmp(const std::filesystem::path& file) const override { return WriteWholeFile(file, BmpData()); }
    bool SaveAsPng(const std::filesystem::path& file, int format) const override {
        return WriteWholeFile(file, PngData(format));
    }

    INVBitmapRef ZoomTo(int max_width, int max_height) const override {
        if (max_width <= 0 || max_height <= 0) return nullptr;
        const std::int64_t w = width_, h = height_, box_w = max_width, box_h = max_height;
        std::int64_t new_w = box_w, new_h = box_h;
        const std::int64_t width_for_height = box_h * w / h;
        const std::int64_t height_for_width = box_w * h / w;
        if (box_h < height_for_width || box_w < width_for_height) {
            if ((h * 65536) / box_h < (w * 65536) / box_w) new_h = height_for_width;
            else new_w = width_for_height;
        }
        if (new_w <= 0 || new_h <= 0) return nullptr;
        auto result = CreateBitmap(static_cast<int>(new_w), static_cast<int>(new_h));
        if (!result) return nullptr;
        const auto columns = Contributions(width_, static_cast<int>(new_w));
        const auto rows = Contributions(height_, static_cast<int>(new_h));
        // Along rows first, into a buffer of the new width and the old height.
        std::vector<std::int64_t> buffer(static_cast<std::size_t>(new_w * h * 3));
        for (int y = 0; y < height_; ++y) {
            const std::uint8_t* source = RowTopDown(y);
            for (std::int64_t x = 0; x < new_w; ++x) {
                const Contribution& c = columns[static_cast<std::size_t>(x)];
                std::int64_t sum[3] = {0, 0, 0};
                for (std::size_t k = 0; k < c.source.size(); ++k)
                    for (int ch = 0; ch < 3; ++ch)
                        sum[ch] += static_cast<std::int64_t>(source[4 * c.source[k] + ch]) * c.weight[k];
                for (int ch = 0; ch < 3; ++ch) buffer[static_cast<std::size_t>((y * new_w + x) * 3 + ch)] = sum[ch];
            }
        }
        auto& target = static_cast<TINVBitmap&>(*result);
        for (std::int64_t y = 0; y < new_h; ++y) {
            const Contribution& c = rows[static_cast<std::size_t>(y)];
            std::uint8_t* out = target.RowTopDown(static_cast<int>(y));
            for (std::int64_t x = 0; x < new_w; ++x) {
                for (int ch = 0; ch < 3; ++ch) {
                    std::int64_t sum = 0;
                    for (std::size_t k = 0; k < c.source.size(); ++k)
                        sum += buffer[static_cast<std::size_t>((c.source[k] * new_w + x) * 3 + ch)] * c.weight[k];
                    const std::int64_t value = (sum + (std::int64_t{1} << 31)) >> 32;
                    out[4 * x + ch] = static_cast<std::uint8_t>(std::clamp<std::int64_t>(value, 0, 255));
                }
            }
        }
        return result;
    }

    std::uint8_t* RowTopDown(int y) {
        return bits_.data() + static_cast<std::size_t>(height_ - 1 - y) * static_cast<std::size_t>(width_) * 4;
    }
    const std::uint8_t* RowTopDown(int y) const {
        return bits_.data() + static_cast<std::size_t>(height_ - 1 - y) * static_cast<std::size_t>(width_) * 4;
    }

private:
    int width_;
    int height_;
    std::vector<std::uint8_t> bits_;
};

}  // namespace

INVBitmapRef CreateBitmap(int width, int height) {
    if (width <= 0 || height <= 0) return nullptr;
    // The info header keeps the image size in 32 bits.
    if (static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * 4 >
        std::numeric_limits<std::uint32_t>::max() - 54)
        return nullptr;
    try {
        return std::make_shared<TINVBitmap>(width, height);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void GetPixel(const INVBitmap& bitmap, int x, int y, std::uint8_t& red, std::uint8_t& green, std::uint8_t& blue) {
    const std::uint8_t* pixel =
        bitmap.Bits() +
        (static_cast<std::size_t>(bitmap.Height() - 1 - y) * static_cast<std::size_t>(bitmap.Width()) +
         static_cast<std::size_t>(x)) * 4;
    blue = pixel[0];
    green = pixel[1];
    red = pixel[2];
}

void SetPixel(INVBitmap& bitmap, int x, int y, std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    std::uint8_t* pixel =
        bitmap.Bits() +
        (static_cast<std::size_t>(bitmap.Height() - 1 - y) * static_cast<std::size_t>(bitmap.Width()) +
         static_cast<std::size_t>(x)) * 4;
    pixel[0] = blue;
    pixel[1] = green;
    pixel[2] = red;
}

}  // namespace crashreport
