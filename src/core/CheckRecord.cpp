#include "core/CheckRecord.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace kestrova {

namespace {

constexpr std::size_t kLongLengths = 2 * sizeof(std::uint32_t);

} // namespace

CheckFile::CheckFile(std::string_view path, std::string_view date) {
    if (path.size() > UINT32_MAX || date.size() > UINT32_MAX)
        throw std::length_error("path too long for a record");
    const bool isLong = path.size() >= kLong || date.size() >= kLong;
    const std::size_t head = sizeof(Head) + (isLong ? kLongLengths : 0);
    void* raw = ::operator new(head + path.size() + date.size());
    block_ = new (raw) Head{{1}, kLong, kLong};
    char* out = static_cast<char*>(raw) + sizeof(Head);
    if (isLong) {
        const std::uint32_t lengths[2] = {static_cast<std::uint32_t>(path.size()),
                                          static_cast<std::uint32_t>(date.size())};
        std::memcpy(out, lengths, sizeof lengths);
        out += sizeof lengths;
    } else {
        block_->pathLength = static_cast<std::uint16_t>(path.size());
        block_->dateLength = static_cast<std::uint16_t>(date.size());
    }
    // An empty view may carry no pointer at all, which memcpy must not get.
    if (!path.empty())
        std::memcpy(out, path.data(), path.size());
    if (!date.empty())
        std::memcpy(out + path.size(), date.data(), date.size());
}

void CheckFile::share(Head* other) {
    block_ = other;
    if (!other)
        return;
    std::uint16_t refs = other->refs.load(std::memory_order_relaxed);
    do {
        if (refs == kMostRefs) {
            // Shared as often as the count can tell: this copy is its own
            // (other is held by the object copied, so it can be read).
            CheckFile alone(Path(), Date());
            block_ = std::exchange(alone.block_, nullptr);
            return;
        }
    } while (!other->refs.compare_exchange_weak(refs, static_cast<std::uint16_t>(refs + 1),
                                                std::memory_order_relaxed));
}

void CheckFile::release() noexcept {
    if (block_ && block_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        block_->~Head();
        ::operator delete(block_);
    }
    block_ = nullptr;
}

const char* CheckFile::text() const noexcept {
    const char* after = reinterpret_cast<const char*>(block_) + sizeof(Head);
    return block_->pathLength == kLong ? after + kLongLengths : after;
}

std::string_view CheckFile::Path() const noexcept {
    if (!block_)
        return {};
    if (block_->pathLength != kLong)
        return std::string_view(text(), block_->pathLength);
    std::uint32_t lengths[2];
    std::memcpy(lengths, reinterpret_cast<const char*>(block_) + sizeof(Head), sizeof lengths);
    return std::string_view(text(), lengths[0]);
}

std::string_view CheckFile::Date() const noexcept {
    if (!block_)
        return {};
    if (block_->pathLength != kLong)
        return std::string_view(text() + block_->pathLength, block_->dateLength);
    std::uint32_t lengths[2];
    std::memcpy(lengths, reinterpret_cast<const char*>(block_) + sizeof(Head), sizeof lengths);
    return std::string_view(text() + lengths[0], lengths[1]);
}
CheckFileList::CheckFileList(Items items)
    : items_(items.empty() ? nullptr : std::make_shared<const Items>(std::move(items))) {}

const CheckFileList::Items& CheckFileList::none() {
    static const Items none;
    return none;
}

CheckFileList CheckFileList::Builder::build() {
    // A record is kept long: room left over from building is given back.
    if (items_.capacity() > items_.size() + items_.size() / 8 + 16)
        items_.shrink_to_fit();
    CheckFileList out(std::move(items_));
    items_ = Items();
    return out;
}

} // namespace kestrova
