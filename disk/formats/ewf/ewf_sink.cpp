#include "disk/formats/ewf/ewf_sink.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>


namespace disk {

namespace {

constexpr std::size_t kChunksPerBatch = 32;

}  // namespace

EwfSink::EwfSink(TLibEWF& image, std::int64_t media_size, unsigned packers)
    : image_(image), media_size_(media_size), chunk_size_(image.ChunkSize()) {
    if (chunk_size_ == 0) throw std::runtime_error("libewf_handle_get_chunk_size failed: " + image.error());
    // The library keeps whole sectors only: a size with a tail would lose it.
    if (media_size_ % 512 != 0) throw std::invalid_argument("EWF media size is no whole number of sectors");
    // Deflate can grow data that does not pack; the library then keeps the
    // chunk as it is, but must have room to find out.
    packed_room_ = chunk_size_ + chunk_size_ / 8 + 1024;
    packers = TransformThreads(packers, 64);
    packing_ =
        std::make_unique<OrderedTransform<Batch>>(batches(packers), packers, [this](Batch& batch) { pack(batch); });
}

std::vector<EwfSink::Batch> EwfSink::batches(unsigned packers) const {
    std::vector<Batch> batches(2 * packers + 1);
    for (auto& batch : batches) {
        batch.input = AlignedBuffer(kChunksPerBatch * (chunk_size_ + 4));
        batch.packed = AlignedBuffer(kChunksPerBatch * packed_room_);
        batch.prepared.resize(kChunksPerBatch);
        batch.sizes.resize(kChunksPerBatch);
    }
    return batches;
}

void EwfSink::pack(Batch& batch) const {
    batch.failure.clear();
    for (std::size_t i = 0; i < batch.chunks && batch.failure.empty(); ++i) {
        std::byte* data = batch.input.data() + i * (chunk_size_ + 4);
        std::byte* packed = batch.packed.data() + i * packed_room_;
        if (!image_.PrepareWriteChunk(data, batch.sizes[i], packed, packed_room_, batch.prepared[i], batch.failure) &&
            batch.failure.empty())
            batch.failure = "libewf_handle_prepare_write_chunk failed";
    }
}

void EwfSink::submit() {
    Batch& batch = *filling_;
    filling_ = nullptr;
    if (first_) {
        // The library sets itself up for writing at the first chunk it
        // writes; the first batch is packed and written here, before any
        // packer reads its settings.
        first_ = false;
        pack(batch);
        packing_->hand_in(true);
        store_oldest(true);
        return;
    }
    packing_->hand_in();
    // Keep the writing going while the packers work.
    while (store_oldest(false)) {}
}

bool EwfSink::store_oldest(bool wait) {
    Batch* batch = packing_->oldest(wait);
    if (!batch) return false;
    if (!batch->failure.empty()) throw std::runtime_error(batch->failure);
    for (std::size_t i = 0; i < batch->chunks; ++i) {
        std::byte* data = batch->input.data() + i * (chunk_size_ + 4);
        const std::byte* packed = batch->packed.data() + i * packed_room_;
        if (!image_.WriteChunk(data, batch->sizes[i], packed, batch->prepared[i]))
            throw std::runtime_error("libewf_handle_write_chunk failed: " + image_.error());
    }
    packing_->release();
    return true;
}

void EwfSink::append(std::span<const std::byte> data) {
    while (!data.empty()) {
        if (!filling_) {
            // The batches are used in turn; the next one is free once
            // everything before it is written.
            while (packing_->full()) store_oldest(true);
            filling_ = &packing_->free_slot();
            filling_->chunks = 0;
        }
        Batch& batch = *filling_;
        if (batch.chunks == 0 || batch.sizes[batch.chunks - 1] == chunk_size_) batch.sizes[batch.chunks++] = 0;
        std::size_t& used = batch.sizes[batch.chunks - 1];
        const std::size_t n = std::min(data.size(), chunk_size_ - used);
        std::memcpy(batch.input.data() + (batch.chunks - 1) * (chunk_size_ + 4) + used, data.data(), n);
        used += n;
        data = data.subspan(n);
        received_ += static_cast<std::int64_t>(n);
        if (batch.chunks == kChunksPerBatch && used == chunk_size_) submit();
    }
}

void EwfSink::write(std::int64_t, std::span<const std::byte> data) {
    if (received_ + static_cast<std::int64_t>(data.size()) > media_size_)
        throw std::runtime_error("more data than the EWF image's media size of " + std::to_string(media_size_));
    append(data);
}

void EwfSink::finish() {
    const std::int64_t missing = media_size_ - received_;
    if (missing >= 512)
        throw std::runtime_error("the EWF image's media size of " + std::to_string(media_size_) +
                                 " was not reached");
    static const std::byte zeros[512] = {};
    append(std::span(zeros, static_cast<std::size_t>(missing)));
    if (filling_ && filling_->chunks > 0) submit();
    while (store_oldest(true)) {}
    if (!image_.WriteFinalize()) throw std::runtime_error("libewf_handle_write_finalize failed: " + image_.error());
}

}  // namespace disk
