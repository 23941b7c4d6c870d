// The record of one watch entry: its items (path and stored date text),
// held compactly and shared without copying.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrova {

// One recorded item. Path and date live in one block of their own, which
// copies share (the count is atomic, so a copy may go to another thread):
// a record of many items costs one allocation per item, and a record built
// from another shares every item it keeps.
class CheckFile {
public:
    CheckFile() noexcept = default;
    CheckFile(std::string_view path, std::string_view date);
    CheckFile(const CheckFile& other) { share(other.block_); }
    CheckFile(CheckFile&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    CheckFile& operator=(CheckFile&& other) noexcept {
        std::swap(block_, other.block_);
        return *this;
    }
    CheckFile& operator=(const CheckFile& other) {
        CheckFile copy(other);
        std::swap(block_, copy.block_);
        return *this;
    }
    ~CheckFile() { release(); }

    std::string_view Path() const noexcept;
    // The stored text form of the date-time.
    std::string_view Date() const noexcept;

    friend bool operator==(const CheckFile& a, const CheckFile& b) noexcept {
        return a.block_ == b.block_ || (a.Path() == b.Path() && a.Date() == b.Date());
    }

private:
    // Six bytes, followed by the path and the date: a record item is mostly
    // its text. Lengths of kLong or more are kept as two 32-bit numbers
    // after the head, with both lengths here kLong.
    struct Head {
        std::atomic<std::uint16_t> refs;
        std::uint16_t pathLength;
        std::uint16_t dateLength;
    };
    static constexpr std::uint16_t kLong = 0xFFFF;
    static constexpr std::uint16_t kMostRefs = 0xFFFF;
    // Shares other's block, or copies it when its count is at its limit.
    void share(Head* other);
    void release() noexcept;
    const char* text() const noexcept;

    Head* block_ = nullptr;
};

// A record: an unchangeable vector of items behind a shared pointer. Copies
// share it (the parse cache, the windows' list and a pass hold a large
// record once) and may be handed to another thread; a changed record is a
// new one, made with a Builder.
class CheckFileList {
public:
    using Items = std::vector<CheckFile>;
    using value_type = CheckFile;
    using size_type = Items::size_type;
    using const_iterator = Items::const_iterator;
    class Builder;

    CheckFileList() = default;
    CheckFileList(Items items); // NOLINT: a vector stands for a record
    CheckFileList(std::initializer_list<CheckFile> items) : CheckFileList(Items(items)) {}

    const Items& items() const { return items_ ? *items_ : none(); }
    operator const Items&() const { return items(); } // NOLINT
    // The vector itself, for a holder that outlives this object.
    std::shared_ptr<const Items> shared() const { return items_; }
    // Whether both hold the very same vector (so equal without a look).
    bool sharedWith(const CheckFileList& other) const { return items_ == other.items_; }

    size_type size() const { return items_ ? items_->size() : 0; }
    bool empty() const { return size() == 0; }
    const_iterator begin() const { return items().begin(); }
    const_iterator end() const { return items().end(); }
    const CheckFile& operator[](size_type n) const { return items()[n]; }
    const CheckFile& at(size_type n) const { return items().at(n); }
    const CheckFile& front() const { return items().front(); }
    const CheckFile& back() const { return items().back(); }
    void clear() { items_.reset(); }

    friend bool operator==(const CheckFileList& a, const CheckFileList& b) {
        return a.items_ == b.items_ || a.items() == b.items();
    }
    friend bool operator==(const CheckFileList& a, const Items& b) { return a.items() == b; }

private:
    static const Items& none();
    std::shared_ptr<const Items> items_;
};

// Builds a new record, empty or starting from the items of another (shared,
// not copied); build() hands it over.
class CheckFileList::Builder {
public:
    Builder() = default;
    explicit Builder(const CheckFileList& from) : items_(from.items()) {}

    void reserve(size_type n) { items_.reserve(n); }
    size_type size() const { return items_.size(); }
    const CheckFile& operator[](size_type n) const { return items_[n]; }
    void push_back(CheckFile f) { items_.push_back(std::move(f)); }
    void emplace_back(std::string_view path, std::string_view date) {
        items_.emplace_back(path, date);
    }
    void set(size_type n, CheckFile f) { items_[n] = std::move(f); }
    void setDate(size_type n, std::string_view date) {
        items_[n] = CheckFile(items_[n].Path(), date);
    }
    void erase(size_type n) { items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(n)); }

    CheckFileList build();

private:
    Items items_;
};

} // namespace kestrova
