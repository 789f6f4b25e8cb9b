#include "MMObjLst.h"

#include <algorithm>
#include <array>
#include <istream>
#include <map>
#include <mutex>
#include <ostream>
#include <utility>

namespace vantrel {

// ---------------------------------------------------------------------------------------------
// Stream helpers

void ReadBuffer(std::istream& stream, void* data, std::size_t bytes) {
    stream.read(static_cast<char*>(data), static_cast<std::streamsize>(bytes));
    if (static_cast<std::size_t>(stream.gcount()) != bytes)
        throw EReadError("Stream read error");
}

void WriteBuffer(std::ostream& stream, const void* data, std::size_t bytes) {
    stream.write(static_cast<const char*>(data), static_cast<std::streamsize>(bytes));
    if (!stream)
        throw EWriteError("Stream write error");
}

// ---------------------------------------------------------------------------------------------
// TMMObject

void TMMObject::BeginUpdate() {
    if (updateCount_ == 0 && OnBeforeChange)
        OnBeforeChange(this);
    ++updateCount_;
}

void TMMObject::EndUpdate() {
    if (--updateCount_ == 0 && OnAfterChange)
        OnAfterChange(this);
}

void TMMObject::Changed(bool before) {
    if (updateCount_ != 0)
        return;
    const TMMNotifyEvent& handler = before ? OnBeforeChange : OnAfterChange;
    if (handler)
        handler(this);
}

// ---------------------------------------------------------------------------------------------
// Item class table

namespace {

struct ItemClassTable {
    std::mutex mutex;
    std::map<std::string, TMMItemClass> classes; // sorted by name; nodes never move
};

ItemClassTable& itemClassTable() {
    static ItemClassTable table;
    return table;
}

// Closes an update bracket however the block it guards is left.
class UpdateBracket {
public:
    explicit UpdateBracket(TMMObject& object) : object_(object) { object_.BeginUpdate(); }
    ~UpdateBracket() { object_.EndUpdate(); }
    UpdateBracket(const UpdateBracket&) = delete;
    UpdateBracket& operator=(const UpdateBracket&) = delete;

private:
    TMMObject& object_;
};

constexpr std::array<char, 4> objectStreamMagic{'O', 'B', 'J', '\0'};

} // namespace

void AddItemClass(const std::string& name, TMMItemFactory create, TMMItemLoader load,
                  TMMItemStorer store) {
    ItemClassTable& table = itemClassTable();
    std::lock_guard lock(table.mutex);
    table.classes.try_emplace(
        name, TMMItemClass{name, std::move(create), std::move(load), std::move(store)});
}

const TMMItemClass* FindItemClass(const std::string& name) {
    ItemClassTable& table = itemClassTable();
    std::lock_guard lock(table.mutex);
    const auto found = table.classes.find(name);
    return found == table.classes.end() ? nullptr : &found->second;
}

void WriteItemRecord(std::ostream& stream, const TMMPersistent* item) {
    if (item == nullptr)
        throw EClassNotFound("Nil Source Class!");
    const std::string name = item->ClassName();
    const TMMItemClass* itemClass = FindItemClass(name);
    if (itemClass == nullptr)
        throw EClassNotFound("Source Class <" + name + "> not registered");
    const std::size_t length = std::min(name.size(), MaxItemClassName);
    WriteValue(stream, static_cast<std::uint8_t>(length));
    WriteBuffer(stream, name.data(), length);
    itemClass->store(*item, stream);
}

std::unique_ptr<TMMPersistent> ReadItemRecord(std::istream& stream) {
    std::string name(ReadValue<std::uint8_t>(stream), '\0');
    ReadBuffer(stream, name.data(), name.size());
    const TMMItemClass* itemClass = FindItemClass(name);
    if (itemClass == nullptr)
        throw EClassNotFound("Class <" + name + "> not registered");
    std::unique_ptr<TMMPersistent> item = itemClass->create();
    itemClass->load(*item, stream);
    return item;
}

// ---------------------------------------------------------------------------------------------
// TObjectList: storage

TObjectList::~TObjectList() {
    if (ownsObjects_)
        for (int i = 0; i < count_; ++i)
            delete items_[static_cast<std::size_t>(i)];
}

void TObjectList::IndexError(int index) const {
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
}

void TObjectList::checkIndex(int index, int last) const {
    if (index < 0 || index > last)
        IndexError(index);
}

void TObjectList::Grow() {
    const int capacity = GetCapacity();
    const int delta = capacity < 5 ? 4 : capacity <= 8 ? 8 : 16;
    SetCapacity(std::min(capacity + delta, MaxCapacity));
}

void TObjectList::SetCapacity(int capacity) {
    if (capacity < count_ || capacity > MaxCapacity)
        IndexError(capacity);
    items_.resize(static_cast<std::size_t>(capacity), nullptr);
}

void TObjectList::SetCount(int count) {
    if (count < 0 || count > MaxCapacity)
        IndexError(count);
    if (count > GetCapacity())
        SetCapacity(count);
    std::fill(items_.begin() + std::min(count, count_), items_.begin() + std::max(count, count_),
              nullptr);
    count_ = count;
}

void TObjectList::Put(int index, TMMPersistent* item) {
    checkIndex(index, count_ - 1);
    items_[static_cast<std::size_t>(index)] = item;
}

TMMPersistent* TObjectList::Get(int index) const {
    checkIndex(index, count_ - 1);
    return items_[static_cast<std::size_t>(index)];
}

void TObjectList::FreeItem(TMMPersistent* item) {
    if (ownsObjects_)
        delete item;
}

int TObjectList::IndexOf(const TMMPersistent* item) const {
    const auto end = items_.begin() + count_;
    const auto found = std::find(items_.begin(), end, item);
    return found == end ? -1 : static_cast<int>(found - items_.begin());
}

// ---------------------------------------------------------------------------------------------
// TObjectList: changes

void TObjectList::Insert(int index, TMMPersistent* item) {
    checkIndex(index, count_);
    if (count_ == MaxCapacity)
        IndexError(count_);
    Changed(true);
    if (count_ == GetCapacity())
        Grow();
    const auto at = items_.begin() + index;
    std::move_backward(at, items_.begin() + count_, items_.begin() + count_ + 1);
    *at = item;
    ++count_;
    Changed(false);
}

int TObjectList::Add(TMMPersistent* item) {
    const int index = count_;
    Insert(index, item);
    return index;
}

void TObjectList::AddList(const TObjectList& other) {
    UpdateBracket bracket(*this);
    for (int i = 0; i < other.Count(); ++i)
        Add(other.Get(i));
}

void TObjectList::Delete(int index) {
    checkIndex(index, count_ - 1);
    Changed(true);
    const auto at = items_.begin() + index;
    std::move(at + 1, items_.begin() + count_, at);
    items_[static_cast<std::size_t>(--count_)] = nullptr;
    Changed(false);
}

void TObjectList::Remove(int index) {
    FreeItem(Get(index));
    Delete(index);
}

void TObjectList::Pack() {
    for (int i = count_ - 1; i >= 0; --i)
        if (items_[static_cast<std::size_t>(i)] == nullptr)
            Delete(i);
}

void TObjectList::Clear() {
    if (count_ == 0)
        return;
    Changed(true);
    count_ = 0;
    items_.clear();
    items_.shrink_to_fit();
    Changed(false);
}

void TObjectList::FreeAll() {
    for (int i = 0; i < count_; ++i)
        FreeItem(std::exchange(items_[static_cast<std::size_t>(i)], nullptr));
    Clear();
}

// ---------------------------------------------------------------------------------------------
// TObjectList: streaming

void TObjectList::ReadData(std::istream& stream) {
    UpdateBracket bracket(*this);
    std::array<char, 4> magic{};
    ReadBuffer(stream, magic.data(), magic.size());
    if (magic != objectStreamMagic)
        throw EStreamError("Invalid Object stream");
    FreeAll();
    ownsObjects_ = ReadValue<std::uint8_t>(stream) != 0;
    const auto count = ReadValue<std::int16_t>(stream);
    if (count < 0)
        throw EStreamError("Invalid Object stream");
    SetCapacity(count);
    for (int i = 0; i < count; ++i) {
        std::unique_ptr<TMMPersistent> item = ReadItemRecord(stream);
        Add(item.get());
        item.release(); // the list holds it now
    }
}

void TObjectList::WriteData(std::ostream& stream) const {
    WriteBuffer(stream, objectStreamMagic.data(), objectStreamMagic.size());
    WriteValue(stream, static_cast<std::uint8_t>(ownsObjects_ ? 1 : 0));
    WriteValue(stream, static_cast<std::int16_t>(count_));
    for (int i = 0; i < count_; ++i)
        WriteItemRecord(stream, items_[static_cast<std::size_t>(i)]);
}

} // namespace vantrel
