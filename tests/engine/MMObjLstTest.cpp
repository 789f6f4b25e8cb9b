#include "MMObjLst.h"

#include <cstring>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>

namespace vantrel {
namespace {

using ::testing::ElementsAre;

// An item with a little data of its own, streamed by its class's routines.
class Band : public TMMPersistent {
public:
    Band() = default;
    Band(std::int32_t low, float gain) : low(low), gain(gain) {}
    std::string ClassName() const override { return "TTestBand"; }
    void Load(std::istream& stream) {
        low = ReadValue<std::int32_t>(stream);
        gain = ReadValue<float>(stream);
    }
    void Store(std::ostream& stream) const {
        WriteValue(stream, low);
        WriteValue(stream, gain);
    }
    bool operator==(const Band& other) const { return low == other.low && gain == other.gain; }

    std::int32_t low = 0;
    float gain = 0;
};

class Unregistered : public TMMPersistent {
public:
    std::string ClassName() const override { return "TUnregistered"; }
};

class ObjectListTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { AddItemClass<Band>("TTestBand", &Band::Load, &Band::Store); }

    // Records the notifications of `list` as "before" and "after".
    void watch(TMMObject& object) {
        object.OnBeforeChange = [this](TMMObject*) {
            notes.push_back("before");
        };
        object.OnAfterChange = [this](TMMObject*) {
            notes.push_back("after");
        };
    }
    static std::string written(const TObjectList& list) {
        std::ostringstream out;
        list.WriteData(out);
        return out.str();
    }
    static const Band& band(const TObjectList& list, int index) {
        return dynamic_cast<const Band&>(*list.Get(index));
    }

    std::vector<std::string> notes;
};

TEST_F(ObjectListTest, NestedUpdatesFireOneNotificationEach) {
    TObjectList list;
    watch(list);
    list.BeginUpdate();
    list.BeginUpdate();
    list.Add(new Band);
    list.EndUpdate();
    EXPECT_THAT(notes, ElementsAre("before"));
    list.EndUpdate();
    EXPECT_THAT(notes, ElementsAre("before", "after"));
    EXPECT_EQ(list.UpdateCount(), 0);

    notes.clear();
    Band loose;
    list.SetOwnsObjects(false);
    list.Add(&loose);
    list.Delete(1);
    EXPECT_THAT(notes, ElementsAre("before", "after", "before", "after"));
    list.SetOwnsObjects(true);
}

TEST_F(ObjectListTest, CapacityGrowsInStepsOfFourEightAndSixteen) {
    TObjectList list;
    std::vector<int> capacities;
    for (int i = 0; i < 40; ++i) {
        const int before = list.GetCapacity();
        list.Add(nullptr);
        if (list.GetCapacity() != before)
            capacities.push_back(list.GetCapacity());
    }
    EXPECT_THAT(capacities, ElementsAre(4, 8, 16, 32, 48));
}

TEST_F(ObjectListTest, InsertDeleteAndPackKeepTheOrder) {
    TObjectList list;
    list.SetOwnsObjects(false);
    Band a, b, c;
    list.Add(&a);
    list.Add(&c);
    list.Insert(1, &b);
    list.Insert(0, nullptr);
    list.Add(nullptr);
    EXPECT_EQ(list.Count(), 5);
    EXPECT_EQ(list.IndexOf(&b), 2);
    list.Pack();
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list[0], &a);
    EXPECT_EQ(list[1], &b);
    EXPECT_EQ(list[2], &c);
    list.Delete(1);
    EXPECT_EQ(list.IndexOf(&b), -1);
    EXPECT_EQ(list[1], &c);

    list.SetCount(4);
    EXPECT_EQ(list[3], nullptr);
    list.Put(3, &b);
    EXPECT_EQ(list.IndexOf(&b), 3);
}

TEST_F(ObjectListTest, IndexErrorsNameTheOffendingIndex) {
    TObjectList list;
    list.Add(new Band);
    const auto message = [&](auto operation) {
        try {
            operation();
        } catch (const EListError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message([&] { list.Get(1); }), "List index out of bounds (1)");
    EXPECT_EQ(message([&] { list.Get(-1); }), "List index out of bounds (-1)");
    EXPECT_EQ(message([&] { list.Put(1, nullptr); }), "List index out of bounds (1)");
    EXPECT_EQ(message([&] { list.Insert(2, nullptr); }), "List index out of bounds (2)");
    EXPECT_EQ(message([&] { list.Delete(5); }), "List index out of bounds (5)");
    EXPECT_EQ(message([&] { list.SetCount(-1); }), "List index out of bounds (-1)");
    EXPECT_EQ(message([&] { list.SetCapacity(0); }), "List index out of bounds (0)");
    EXPECT_EQ(list.Count(), 1);
}

TEST_F(ObjectListTest, ClearForgetsAndFreeAllFreesTheItems) {
    TObjectList list;
    watch(list);
    list.Clear(); // empty: nothing to tell
    EXPECT_TRUE(notes.empty());
    list.Add(new Band);
    list.Add(new Band);
    notes.clear();
    list.FreeAll();
    EXPECT_THAT(notes, ElementsAre("before", "after"));
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.GetCapacity(), 0);
}

TEST_F(ObjectListTest, AddListAddsTheSameItemsInOneUpdate) {
    TObjectList source;
    source.Add(new Band(1, 0));
    source.Add(new Band(2, 0));
    TObjectList target;
    target.SetOwnsObjects(false); // the source keeps them
    watch(target);
    target.AddList(source);
    EXPECT_THAT(notes, ElementsAre("before", "after"));
    ASSERT_EQ(target.Count(), 2);
    EXPECT_EQ(target[1], source[1]);
}

TEST_F(ObjectListTest, StreamedOutAndInGivesAnEqualList) {
    TObjectList list;
    list.Add(new Band(20, -3.5f));
    list.Add(new Band(25, 0.0f));
    list.Add(new Band(20000, 12.25f));
    const std::string stream = written(list);

    // Magic, owns flag, count, then per item: name length, name, data.
    const std::string header("OBJ\0\1\3\0", 7);
    EXPECT_EQ(stream.substr(0, 7), header);
    EXPECT_EQ(stream.substr(7, 10), std::string("\11TTestBand"));
    EXPECT_EQ(stream.size(), 7u + 3u * (1 + 9 + 8));

    TObjectList copy;
    copy.Add(new Band(99, 99)); // replaced by what the stream holds
    watch(copy);
    std::istringstream in(stream);
    copy.ReadData(in);
    EXPECT_THAT(notes, ElementsAre("before", "after"));
    EXPECT_TRUE(copy.GetOwnsObjects());
    ASSERT_EQ(copy.Count(), list.Count());
    for (int i = 0; i < list.Count(); ++i)
        EXPECT_EQ(band(copy, i), band(list, i)) << "item " << i;
    EXPECT_EQ(written(copy), stream);
}

TEST_F(ObjectListTest, UnknownClassInAStreamKeepsTheItemsReadSoFar) {
    TObjectList list;
    list.Add(new Band(1, 1));
    std::string stream = written(list);
    stream[5] = 2; // two items announced
    const std::string unknownName = "TNoSuchBand";
    stream += static_cast<char>(unknownName.size()) + unknownName + std::string(8, '\0');

    TObjectList loaded;
    std::istringstream in(stream);
    try {
        loaded.ReadData(in);
        FAIL() << "no error";
    } catch (const EClassNotFound& e) {
        EXPECT_STREQ(e.what(), "Class <TNoSuchBand> not registered");
    }
    EXPECT_EQ(loaded.UpdateCount(), 0);
    ASSERT_EQ(loaded.Count(), 1);
    EXPECT_EQ(band(loaded, 0), Band(1, 1));
}

TEST_F(ObjectListTest, BadOrTruncatedStreamsAreRefused) {
    TObjectList list;
    list.Add(new Band(7, 7));
    {
        std::istringstream in(std::string("OBX\0\1\0\0", 7));
        EXPECT_THROW(list.ReadData(in), EStreamError);
        EXPECT_EQ(list.Count(), 1); // the magic is checked before anything is dropped
    }
    TObjectList source;
    source.Add(new Band(1, 2));
    const std::string whole = written(source);
    for (std::size_t cut : {whole.size() - 1, std::size_t{8}, std::size_t{6}}) {
        std::istringstream in(whole.substr(0, cut));
        EXPECT_THROW(list.ReadData(in), EReadError) << "cut at " << cut;
        EXPECT_EQ(list.UpdateCount(), 0);
    }
}

TEST_F(ObjectListTest, WritingNamesMissingAndUnregisteredItems) {
    TObjectList withNull;
    withNull.Add(nullptr);
    TObjectList withStranger;
    withStranger.Add(new Unregistered);
    std::ostringstream out;
    try {
        withNull.WriteData(out);
        FAIL() << "no error";
    } catch (const EClassNotFound& e) {
        EXPECT_STREQ(e.what(), "Nil Source Class!");
    }
    try {
        withStranger.WriteData(out);
        FAIL() << "no error";
    } catch (const EClassNotFound& e) {
        EXPECT_STREQ(e.what(), "Source Class <TUnregistered> not registered");
    }
}

TEST_F(ObjectListTest, ClassTableKeepsTheFirstEntryOfAName) {
    AddItemClass(
        "TTestBand", [] { return std::make_unique<Unregistered>(); },
        [](TMMPersistent&, std::istream&) {}, [](const TMMPersistent&, std::ostream&) {});
    const TMMItemClass* entry = FindItemClass("TTestBand");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->create()->ClassName(), "TTestBand");
    EXPECT_EQ(FindItemClass("TNoSuchBand"), nullptr);
}

TEST_F(ObjectListTest, FormStoresTheListOnlyWhenItHasItems) {
    TObjectList list;
    EXPECT_STREQ(TObjectList::ObjectContainer, "ObjectContainer");
    EXPECT_FALSE(list.HasData());
    list.Add(new Band);
    EXPECT_TRUE(list.HasData());
}

TEST_F(ObjectListTest, RemoveFreesOwnedItemsOnly) {
    Band kept;
    TObjectList borrowing;
    borrowing.SetOwnsObjects(false);
    borrowing.Add(&kept);
    borrowing.Remove(0); // must not free an item it does not own
    EXPECT_EQ(borrowing.Count(), 0);

    TObjectList owning;
    owning.Add(new Band);
    owning.Remove(0); // frees it; the leak checker watches
    EXPECT_EQ(owning.Count(), 0);
}

} // namespace
} // namespace vantrel
