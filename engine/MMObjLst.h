// Persistent objects that bracket their changes with notifications, and the ordered object list
// that components save and load with their settings, every item written with its class name.
#pragma once

#include "MMUtils.h"

#include <bit>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace vantrel {

// ---------------------------------------------------------------------------------------------
// Errors (the framework's list, stream and class errors)

class EListError : public EMMError {
public:
    using EMMError::EMMError;
};
class EStreamError : public EMMError {
public:
    using EMMError::EMMError;
};
// A stream ended before the data that had to be read ("Stream read error").
class EReadError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
// A stream refused data ("Stream write error").
class EWriteError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EClassNotFound : public EMMError {
public:
    using EMMError::EMMError;
};

// ---------------------------------------------------------------------------------------------
// Stream helpers: byte-exact reads and writes, integers and floats little-endian.

static_assert(std::endian::native == std::endian::little, "stream records are little-endian");

// Reads exactly `bytes` bytes; throws EReadError when the stream ends first.
void ReadBuffer(std::istream& stream, void* data, std::size_t bytes);
// Writes `bytes` bytes; throws EWriteError when the stream refuses them.
void WriteBuffer(std::ostream& stream, const void* data, std::size_t bytes);

template <typename T> T ReadValue(std::istream& stream) {
    T value{};
    ReadBuffer(stream, &value, sizeof value);
    return value;
}
template <typename T> void WriteValue(std::ostream& stream, T value) {
    WriteBuffer(stream, &value, sizeof value);
}

// ---------------------------------------------------------------------------------------------
// Persistent objects

// The base of every object a list can hold and stream: polymorphic, and able to name its class
// as the item class table knows it.
class TMMPersistent {
public:
    TMMPersistent() = default;
    TMMPersistent(const TMMPersistent&) = delete;
    TMMPersistent& operator=(const TMMPersistent&) = delete;
    virtual ~TMMPersistent() = default;

    virtual std::string ClassName() const = 0;
};

class TMMObject;
using TMMNotifyEvent = std::function<void(TMMObject* sender)>;

// A persistent object whose changes are bracketed by a before-change and an after-change
// notification. Updates nest: inside BeginUpdate/EndUpdate no notification fires, and the
// outermost bracket fires one of each.
class TMMObject : public TMMPersistent {
public:
    void BeginUpdate();
    void EndUpdate();
    std::int32_t UpdateCount() const { return updateCount_; }

    // Fires OnBeforeChange (before true) or OnAfterChange (before false) while no update is
    // in progress.
    virtual void Changed(bool before);

    TMMNotifyEvent OnBeforeChange;
    TMMNotifyEvent OnAfterChange;

private:
    std::int32_t updateCount_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Item class table

using TMMItemFactory = std::function<std::unique_ptr<TMMPersistent>()>;
using TMMItemLoader = std::function<void(TMMPersistent& item, std::istream& stream)>;
using TMMItemStorer = std::function<void(const TMMPersistent& item, std::ostream& stream)>;

struct TMMItemClass {
    std::string name;
    TMMItemFactory create;
    TMMItemLoader load;
    TMMItemStorer store;
};

// Enters a class in the process-wide table, sorted by name. A name that is already there keeps
// its first entry.
void AddItemClass(const std::string& name, TMMItemFactory create, TMMItemLoader load,
                  TMMItemStorer store);

// Enters class T, created with its default constructor and streamed with two of its members.
template <typename T>
void AddItemClass(const std::string& name, void (T::*load)(std::istream&),
                  void (T::*store)(std::ostream&) const) {
    AddItemClass(
        name, [] { return std::make_unique<T>(); },
        [load](TMMPersistent& item, std::istream& stream) {
            (dynamic_cast<T&>(item).*load)(stream);
        },
        [store](const TMMPersistent& item, std::ostream& stream) {
            (dynamic_cast<const T&>(item).*store)(stream);
        });
}

// The entry for `name`, or null. Entries stay valid until the program ends.
const TMMItemClass* FindItemClass(const std::string& name);

// Class names are written with a length byte and cut to this many characters.
inline constexpr std::size_t MaxItemClassName = 63;

// One item record: the class name, then what the class's store routine writes. Throws
// EClassNotFound ("Nil Source Class!", "Source Class <%s> not registered").
void WriteItemRecord(std::ostream& stream, const TMMPersistent* item);
// Reads one item record into a new instance of its class, owned by the caller. Throws
// EClassNotFound ("Class <%s> not registered") for a name not in the table.
std::unique_ptr<TMMPersistent> ReadItemRecord(std::istream& stream);

// ---------------------------------------------------------------------------------------------
// Object list

// An ordered list of item references (an entry may be null) with change notifications. When it
// owns its objects it frees the items it drops through FreeItem, FreeAll, Remove and its
// destructor; Add takes ownership then. Count and capacity stay within 16 bits.
class TObjectList : public TMMObject {
public:
    // The form property the list is stored under.
    static constexpr const char* ObjectContainer = "ObjectContainer";
    static constexpr int MaxCapacity = 32767;

    TObjectList() = default;
    ~TObjectList() override;

    std::string ClassName() const override { return "TObjectList"; }

    // Raises EListError "List index out of bounds (%d)".
    [[noreturn]] virtual void IndexError(int index) const;
    // Capacity + 4 below 5, + 8 from 5 to 8, + 16 from 9 on.
    virtual void Grow();
    // Replaces the entry at `index` (0..Count-1) without notifications or freeing.
    virtual void Put(int index, TMMPersistent* item);
    virtual TMMPersistent* Get(int index) const;
    // Frees `item` when the list owns its objects.
    virtual void FreeItem(TMMPersistent* item);
    // Replaces the items with those of an object stream (magic "OBJ\0", owns flag, count, item
    // records). Throws EStreamError "Invalid Object stream" for another magic (the list keeps
    // its items then), EClassNotFound or EReadError; the items read so far stay.
    virtual void ReadData(std::istream& stream);
    virtual void WriteData(std::ostream& stream) const;
    // Whether the form stores the ObjectContainer property: only when there are items.
    virtual bool HasData() const { return count_ > 0; }

    // Insert(Count, item); returns the new index.
    virtual int Add(TMMPersistent* item);
    // Adds every item of `other` within one update bracket. The items are shared, not copied:
    // at most one of the two lists may own them.
    virtual void AddList(const TObjectList& other);
    // Empties the list (count and capacity 0) without freeing the items.
    virtual void Clear();
    // Frees every item (when owning), then Clear.
    virtual void FreeAll();
    virtual int IndexOf(const TMMPersistent* item) const;
    // Inserts at `index` (0..Count), moving later items up.
    virtual void Insert(int index, TMMPersistent* item);

    // Removes the entry without freeing its item.
    void Delete(int index);
    // Frees the item (when owning) and removes its entry.
    void Remove(int index);
    // Deletes every null entry.
    void Pack();

    int Count() const { return count_; }
    // Negative counts are index errors; new entries are null.
    void SetCount(int count);
    int GetCapacity() const { return static_cast<int>(items_.size()); }
    // Below Count is an index error.
    void SetCapacity(int capacity);
    bool GetOwnsObjects() const { return ownsObjects_; }
    void SetOwnsObjects(bool owns) { ownsObjects_ = owns; }

    TMMPersistent* operator[](int index) const { return Get(index); }

private:
    void checkIndex(int index, int last) const;

    bool ownsObjects_ = true;
    std::vector<TMMPersistent*> items_; // size() is the capacity
    int count_ = 0;
};

} // namespace vantrel
