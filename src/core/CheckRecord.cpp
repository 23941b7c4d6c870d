#include "core/CheckRecord.h"

#include <cstring>
#include <new>
#include <stdexcept>

namespace kestrova {

CheckFile::CheckFile(std::string_view path, std::string_view date) {
    if (path.size() > UINT32_MAX || date.size() > UINT32_MAX)
        throw std::length_error("path too long for a record");
    void* raw = ::operator new(sizeof(Head) + path.size() + date.size() + 2);
    block_ = new (raw)
        Head{{1}, static_cast<std::uint32_t>(path.size()), static_cast<std::uint32_t>(date.size())};
    char* out = reinterpret_cast<char*>(block_ + 1);
    std::memcpy(out, path.data(), path.size());
    out[path.size()] = '\0';
    std::memcpy(out + path.size() + 1, date.data(), date.size());
    out[path.size() + 1 + date.size()] = '\0';
}

void CheckFile::release() noexcept {
    if (block_ && block_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        block_->~Head();
        ::operator delete(block_);
    }
    block_ = nullptr;
}

std::string_view CheckFile::Path() const noexcept {
    return block_ ? std::string_view(text(), block_->pathLength) : std::string_view();
}

std::string_view CheckFile::Date() const noexcept {
    return block_ ? std::string_view(text() + block_->pathLength + 1, block_->dateLength)
                  : std::string_view();
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
