#include "SoundCatalogue.h"
#include "SoundCatalogueObserver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

// One change: Add (keepPosition as given), Remove or Clear.
struct Step {
    enum Kind { Add, Remove, Clear } kind;
    std::int32_t number = 0;
    std::string comment;
    bool mute = false;
    bool keepPosition = false;
};

static Step Add(std::int32_t n, std::string comment = "", bool mute = false) {
    return {Step::Add, n, std::move(comment), mute, false};
}
static Step Keep(std::int32_t n, std::string comment = "", bool mute = false) {
    return {Step::Add, n, std::move(comment), mute, true};
}
static Step Remove(std::int32_t n) {
    return {Step::Remove, n, "", false, false};
}
static Step Clear() {
    return {Step::Clear, 0, "", false, false};
}

template <class Target> static void Apply(Target& target, const Step& step) {
    if (step.kind == Step::Add) {
        if constexpr (std::is_same_v<Target, SoundCatalogue>) {
            target.AddOrUpdate(step.number, step.comment, step.mute, step.keepPosition, false, nullptr);
        } else {
            target.AddOrUpdate(step.number, step.comment, step.mute, step.keepPosition);
        }
    } else if (step.kind == Step::Remove) {
        target.Remove(step.number);
    } else {
        target.Clear(nullptr);
    }
}

static std::vector<SoundEntry> ByNumber(std::vector<SoundEntry> entries) {
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.number < b.number; });
    return entries;
}

// Every way of reading the catalogue agrees with the expected display order.
static void ExpectContents(const SoundCatalogue& catalogue, const std::vector<SoundEntry>& display) {
    EXPECT_EQ(catalogue.EntriesInDisplayOrder(), display);
    EXPECT_EQ(catalogue.EntriesInNumberOrder(), ByNumber(display));
    EXPECT_EQ(catalogue.Count(), display.size());
    for (const SoundEntry& entry : display) {
        EXPECT_EQ(catalogue.Find(entry.number), entry);
        EXPECT_EQ(catalogue.IsMuted(entry.number), entry.mute);
    }
    EXPECT_FALSE(catalogue.Find(0x0000) || catalogue.Find(0xFFFF) || catalogue.IsMuted(0xFFFF));
    std::vector<SoundEntry> inDisplay, inNumber;
    auto walk = catalogue.BeginWalk();
    walk.InDisplayOrder([&](const SoundEntry& entry) { inDisplay.push_back(entry); });
    walk.InNumberOrder([&](const SoundEntry& entry) { inNumber.push_back(entry); });
    EXPECT_EQ(inDisplay, display);
    EXPECT_EQ(inNumber, ByNumber(display));
    EXPECT_EQ(walk.Count(), display.size());
}

struct OrderCase {
    const char* name;
    std::vector<Step> steps;
    std::vector<SoundEntry> display;
};

class SoundCatalogueOrderTest : public testing::TestWithParam<OrderCase> {};

TEST_P(SoundCatalogueOrderTest, ThroughPlainMembers) {
    SoundCatalogue catalogue;
    for (const Step& step : GetParam().steps) {
        Apply(catalogue, step);
    }
    ExpectContents(catalogue, GetParam().display);
}

TEST_P(SoundCatalogueOrderTest, ThroughEdit) {
    SoundCatalogue catalogue;
    {
        auto edit = catalogue.BeginEdit();
        for (const Step& step : GetParam().steps) {
            Apply(edit, step);
        }
        EXPECT_EQ(edit.Count(), GetParam().display.size());
        for (const SoundEntry& entry : GetParam().display) {
            EXPECT_EQ(edit.Find(entry.number), entry);
        }
    }
    ExpectContents(catalogue, GetParam().display);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SoundCatalogueOrderTest,
    testing::Values(
        OrderCase{"NewAppendedWhateverKeepPosition", {Keep(3), Add(1), Keep(2)}, {{3, 0, ""}, {1, 0, ""}, {2, 0, ""}}},
        OrderCase{"KeepPositionReplacesBothFieldsInPlace",
                  {Add(1), Add(2, "old"), Add(3), Keep(2, "new", true)},
                  {{1, 0, ""}, {2, 1, "new"}, {3, 0, ""}}},
        OrderCase{"CommentOverwrittenEvenWhenEmpty", {Add(5, "a\r\nb", true), Keep(5, "")}, {{5, 0, ""}}},
        OrderCase{
            "MovesToEnd", {Add(1, "a"), Add(2), Add(3), Add(1, "b", true)}, {{2, 0, ""}, {3, 0, ""}, {1, 1, "b"}}},
        OrderCase{"LastStaysLast", {Add(1), Add(2), Add(2, "x")}, {{1, 0, ""}, {2, 0, "x"}}},
        OrderCase{"OnlyEntry", {Add(7), Add(7, "x"), Keep(7, "y")}, {{7, 0, "y"}}},
        OrderCase{"SentinelsIgnored", {Add(0), Add(0xFFFF), Add(0x10000), Add(0x1FFFF), Add(-1), Keep(INT32_MIN)}, {}},
        OrderCase{"OnlyLowSixteenBitsCount",
                  {Add(0x10001, "a"), Add(-2, "b"), Add(0x7FFF0005, "c"), Keep(0x20001, "d")},
                  {{0x0001, 0, "d"}, {0xFFFE, 0, "b"}, {0x0005, 0, "c"}}},
        OrderCase{"RemoveMiddle", {Add(1), Add(2), Add(3), Remove(2)}, {{1, 0, ""}, {3, 0, ""}}},
        OrderCase{"RemoveEnds", {Add(1), Add(2), Add(3), Add(4), Remove(1), Remove(4)}, {{2, 0, ""}, {3, 0, ""}}},
        OrderCase{"RemoveAbsent", {Add(1), Remove(2), Remove(0), Remove(0xFFFF), Remove(0x10000)}, {{1, 0, ""}}},
        OrderCase{"RemoveUsesLowBits", {Add(1), Add(2), Remove(0x10001)}, {{2, 0, ""}}},
        OrderCase{"ReAddedGoesLast", {Add(1), Add(2), Remove(1), Keep(1)}, {{2, 0, ""}, {1, 0, ""}}},
        OrderCase{"ClearEmptiesBothWalks", {Add(3), Add(1), Clear()}, {}},
        OrderCase{"ClearThenRefill", {Add(3), Add(1), Clear(), Add(2), Keep(3)}, {{2, 0, ""}, {3, 0, ""}}},
        OrderCase{
            "ExtremeNumbers", {Add(0xFFFE), Add(1), Add(0x8000)}, {{0xFFFE, 0, ""}, {1, 0, ""}, {0x8000, 0, ""}}}),
    [](const auto& info) { return info.param.name; });

// The same random changes on the catalogue and on a plain map-and-list model of the intended
// behaviour: the linked display order and the packed records must never drift from it.
TEST(SoundCatalogueTest, MatchesSimpleModelUnderRandomChanges) {
    SoundCatalogue catalogue;
    std::map<std::uint16_t, SoundEntry> entries;
    std::vector<std::uint16_t> order;
    std::mt19937 random(12345);
    const std::int32_t edgeNumbers[] = {0, 0xFFFF, 0x10000, 0x10001, -2, 0xFFFE};
    for (int i = 0; i < 20000; ++i) {
        const unsigned roll = random() % 100;
        const auto number = random() % 40 == 0 ? edgeNumbers[random() % std::size(edgeNumbers)]
                                               : static_cast<std::int32_t>(1 + random() % 24);
        const auto n = static_cast<std::uint16_t>(number);
        const auto at = std::find(order.begin(), order.end(), n);
        if (roll < 60) {
            const Step step{Step::Add, number, "c" + std::to_string(i % 7), random() % 2 == 0, random() % 2 == 0};
            Apply(catalogue, step);
            if (n != 0 && n != 0xFFFF) {
                if (at == order.end() || !step.keepPosition) {
                    if (at != order.end()) {
                        order.erase(at);
                    }
                    order.push_back(n);
                }
                entries[n] = SoundEntry{n, step.mute, step.comment};
            }
        } else if (roll < 98) {
            catalogue.Remove(number);
            if (entries.erase(n) != 0) {
                order.erase(at);
            }
        } else {
            catalogue.Clear(nullptr);
            entries.clear();
            order.clear();
        }
        std::vector<SoundEntry> display;
        for (const std::uint16_t listed : order) {
            display.push_back(entries.at(listed));
        }
        ASSERT_EQ(catalogue.EntriesInDisplayOrder(), display) << "after change " << i;
        ASSERT_EQ(catalogue.EntriesInNumberOrder(), ByNumber(display)) << "after change " << i;
    }
}

// Reads the catalogue back from its callbacks, as the dialog's list does; were the catalogue's lock
// held during a callback, these reads would deadlock. With `reads` off it only counts, as a view
// must inside an Edit.
class TestView final : public SoundListView {
public:
    TestView(const SoundCatalogue& catalogue, bool reads) : m_catalogue(catalogue), m_reads(reads) {}
    void RebuildSoundList() override {
        ++rebuilds;
        if (m_reads) {
            rebuiltWith = m_catalogue.EntriesInDisplayOrder();
        }
    }
    void DeleteAllSoundRows() override {
        ++deletes;
        if (m_reads) {
            countWhenDeleting = m_catalogue.Count();
        }
    }
    int rebuilds = 0;
    int deletes = 0;
    std::vector<SoundEntry> rebuiltWith;
    std::size_t countWhenDeleting = 0;

private:
    const SoundCatalogue& m_catalogue;
    bool m_reads;
};

TEST(SoundCatalogueViewTest, RefreshRebuildsOnceAfterTheChange) {
    const struct {
        std::int32_t number;
        bool refreshView;
        int rebuilds;
    } cases[] = {{0x10, true, 1}, {0x10, false, 0}, {0xFFFF, true, 0}};
    for (const auto& c : cases) {
        SoundCatalogue catalogue;
        TestView view(catalogue, true);
        catalogue.AddOrUpdate(0x20, "", false, false, false, &view);
        catalogue.AddOrUpdate(c.number, "hello", true, true, c.refreshView, &view);
        EXPECT_EQ(view.rebuilds, c.rebuilds) << c.number << c.refreshView;
        EXPECT_EQ(view.deletes, 0);
        if (c.rebuilds != 0) {
            EXPECT_EQ(view.rebuiltWith, (std::vector<SoundEntry>{{0x20, false, ""}, {0x10, true, "hello"}}));
        }
    }
    SoundCatalogue catalogue;
    catalogue.AddOrUpdate(1, "", false, false, true, nullptr); // no view: nothing to refresh
    catalogue.Clear(nullptr);
    ExpectContents(catalogue, {});
}

TEST(SoundCatalogueViewTest, ClearDeletesRowsFirstThenEmpties) {
    SoundCatalogue catalogue;
    TestView view(catalogue, true);
    catalogue.AddOrUpdate(1, "", false, false, false, &view);
    catalogue.AddOrUpdate(2, "", false, false, false, &view);
    catalogue.Clear(&view);
    EXPECT_EQ(view.deletes, 1);
    EXPECT_EQ(view.countWhenDeleting, 2u);
    EXPECT_EQ(view.rebuilds, 0);
    ExpectContents(catalogue, {});
}

TEST(SoundCatalogueEditTest, ClearInsideEditDeletesRows) {
    SoundCatalogue catalogue;
    TestView view(catalogue, false);
    catalogue.AddOrUpdate(1, "", false, false, false, &view);
    {
        auto edit = catalogue.BeginEdit();
        edit.Clear(&view);
        EXPECT_EQ(edit.Count(), 0u);
        edit.AddOrUpdate(2, "x", true, false);
    }
    EXPECT_EQ(view.deletes, 1);
    ExpectContents(catalogue, {{2, true, "x"}});
}

TEST(SoundCatalogueEditTest, OtherThreadsSeeTheWholeEditOrNothing) {
    SoundCatalogue catalogue;
    catalogue.AddOrUpdate(9, "", false, false, false, nullptr);
    std::vector<SoundEntry> seen;
    std::thread reader;
    {
        auto edit = catalogue.BeginEdit();
        // Started while the edit holds the lock, so it can only read once the edit is over.
        reader = std::thread([&] { seen = catalogue.EntriesInDisplayOrder(); });
        edit.Clear(nullptr);
        edit.AddOrUpdate(1, "", false, false);
        edit.AddOrUpdate(2, "", true, false);
    }
    reader.join();
    EXPECT_EQ(seen, (std::vector<SoundEntry>{{1, false, ""}, {2, true, ""}}));
}

TEST(SoundCatalogueWalkTest, LookupsGoOnDuringAWalk) {
    SoundCatalogue catalogue;
    catalogue.AddOrUpdate(5, "", true, false, false, nullptr);
    auto walk = catalogue.BeginWalk();
    bool muted = false;
    std::thread([&] { muted = catalogue.IsMuted(5); }).join(); // would deadlock on an exclusive lock
    EXPECT_TRUE(muted);
}

// The hook pump's lookups racing the dialog's changes. Run under ThreadSanitizer too.
TEST(SoundCatalogueConcurrencyTest, LookupsDuringChangesSeeWholeEntries) {
    SoundCatalogue catalogue;
    TestView view(catalogue, false);
    std::atomic<bool> done{false};
    std::atomic<int> passes{0};
    std::thread reader([&] {
        bool consistent = true;
        while (!done) {
            for (std::uint16_t n = 1; n <= 64; ++n) {
                // Writers store a muted entry with the comment "muted", an unmuted one with "".
                if (const auto entry = catalogue.Find(n)) {
                    consistent &= entry->number == n && (entry->comment == "muted") == entry->mute;
                }
                catalogue.IsMuted(n);
            }
            const auto numbers = catalogue.EntriesInNumberOrder();
            consistent &= std::is_sorted(numbers.begin(), numbers.end(),
                                         [](const auto& a, const auto& b) { return a.number < b.number; });
            ++passes;
        }
        EXPECT_TRUE(consistent);
    });
    std::mt19937 random(7);
    for (int round = 0; round < 200 || passes < 50; ++round) {
        for (int i = 0; i < 64; ++i) {
            const auto n = static_cast<std::int32_t>(1 + random() % 64);
            const bool mute = random() % 2 == 0;
            catalogue.AddOrUpdate(n, mute ? "muted" : "", mute, random() % 2 == 0, i % 16 == 0, &view);
            catalogue.Remove(static_cast<std::int32_t>(1 + random() % 256));
        }
        if (round % 10 == 0) {
            catalogue.Clear(&view);
        } else if (round % 7 == 0) {
            auto edit = catalogue.BeginEdit();
            edit.Clear(&view);
            for (std::int32_t n = 64; n >= 1; --n) {
                edit.AddOrUpdate(n, n % 3 == 0 ? "muted" : "", n % 3 == 0, false);
            }
        }
    }
    done = true;
    reader.join();
}

// Rows kept only from what the observer is told, as the list's model keeps its row count and
// indexes: after each change they must be the catalogue's display order.
class ReplayingObserver final : public SoundCatalogueObserver {
public:
    explicit ReplayingObserver(const SoundCatalogue& catalogue) : m_catalogue(catalogue) {}
    void EntryAboutToBeAppended(int row) override { Expect(row == Rows(), "append at the end"); }
    void EntryAppended() override { numbers.push_back(m_catalogue.EntryAt(Rows()).number); }
    void EntryAboutToMove(int from, int to) override {
        Expect(from >= 0 && from < Rows() - 1 && to == Rows(), "move to the end");
        m_moving = from;
    }
    void EntryMoved() override {
        const std::uint16_t number = numbers[static_cast<std::size_t>(m_moving)];
        numbers.erase(numbers.begin() + m_moving);
        numbers.push_back(number);
    }
    void EntryAboutToBeRemoved(int row) override {
        Expect(row >= 0 && row < Rows(), "remove a row");
        m_removing = row;
    }
    void EntryRemoved() override { numbers.erase(numbers.begin() + m_removing); }
    void EntryChanged(int row) override {
        Expect(row >= 0 && row < Rows(), "change a row");
        ++changes;
    }
    void AboutToReset() override { ++resets; }
    void Reset() override {
        numbers.clear();
        for (int row = 0; row < static_cast<int>(m_catalogue.ListedCount()); ++row) {
            numbers.push_back(m_catalogue.EntryAt(row).number);
        }
    }
    std::vector<std::uint16_t> numbers;
    int changes = 0;
    int resets = 0;
    bool consistent = true;

private:
    int Rows() const { return static_cast<int>(numbers.size()); }
    void Expect(bool holds, const char* what) {
        EXPECT_TRUE(holds) << what;
        consistent &= holds;
    }
    const SoundCatalogue& m_catalogue;
    int m_moving = 0;
    int m_removing = 0;
};

TEST(SoundCatalogueObserverTest, EveryChangeIsToldForWhatItIs) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
        int changes;
        int resets;
    };
    const Case cases[] = {
        {"AppendMoveRemoveChange",
         {Add(1), Add(2), Add(3), Add(4), Add(1, "x"), Remove(2), Keep(3, "c", true), Add(0xFFFF), Remove(99)},
         2,
         0},
        {"LastStaysWhereItIs", {Add(1), Add(2), Add(2, "y")}, 1, 0},
        {"SameFieldsAreNoChange", {Add(1, "a", true), Keep(1, "a", true), Add(1, "a", true)}, 0, 0},
        {"ClearResets", {Add(1), Clear(), Add(5)}, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SoundCatalogue catalogue;
        ReplayingObserver observer(catalogue);
        catalogue.SetObserver(&observer);
        for (const Step& step : c.steps) {
            Apply(catalogue, step);
        }
        EXPECT_EQ(observer.changes, c.changes);
        EXPECT_EQ(observer.resets, c.resets);
        std::vector<std::uint16_t> display;
        for (const SoundEntry& entry : catalogue.EntriesInDisplayOrder()) {
            display.push_back(entry.number);
        }
        EXPECT_EQ(observer.numbers, display);
    }
}

// Thousands of random changes at a size where the slots of the display order are compacted many
// times: rows, row lookups and the observer's rows stay the catalogue's order.
TEST(SoundCatalogueObserverTest, RowsFollowRandomChangesThroughCompaction) {
    SoundCatalogue catalogue;
    ReplayingObserver observer(catalogue);
    catalogue.SetObserver(&observer);
    std::mt19937 random(11);
    for (std::int32_t n = 1; n <= 3000; ++n) {
        catalogue.AddOrUpdate(n, "", false, true, false, nullptr);
    }
    for (int i = 0; i < 300000; ++i) {
        const auto n = static_cast<std::int32_t>(1 + random() % 4000);
        if (random() % 8 == 0) {
            catalogue.Remove(n);
        } else {
            catalogue.AddOrUpdate(n, "", i % 2 == 0, random() % 4 == 0, false, nullptr);
        }
    }
    ASSERT_TRUE(observer.consistent);
    const std::vector<SoundEntry> display = catalogue.EntriesInDisplayOrder();
    ASSERT_EQ(observer.numbers.size(), display.size());
    for (std::size_t row = 0; row < display.size(); ++row) {
        ASSERT_EQ(observer.numbers[row], display[row].number) << row;
        ASSERT_EQ(catalogue.RowOf(display[row].number), static_cast<int>(row));
        ASSERT_EQ(catalogue.EntryAt(static_cast<int>(row)), display[row]);
    }
    {
        auto edit = catalogue.BeginEdit(); // an edit is told as a reset
        edit.Remove(display.front().number);
    }
    std::vector<std::uint16_t> rest;
    for (std::size_t row = 1; row < display.size(); ++row) {
        rest.push_back(display[row].number);
    }
    EXPECT_EQ(observer.numbers, rest);
    EXPECT_EQ(catalogue.RowOf(display.front().number), -1);
}

// A number muted before and after a load, a clear-and-refill edit or a refill is blocked at every
// moment in between: the pump never sees half of one. Run under ThreadSanitizer too.
TEST(SoundCatalogueConcurrencyTest, AMutedSoundStaysMutedThroughEveryRefill) {
    SoundCatalogue catalogue;
    catalogue.AddOrUpdate(0x100, "", true, false, false, nullptr);
    std::atomic<bool> done{false};
    std::atomic<int> unmutedSeen{0};
    std::atomic<int> passes{0};
    std::thread pump([&] {
        while (!done) {
            if (!catalogue.IsMuted(0x100)) {
                ++unmutedSeen;
            }
            ++passes;
        }
    });
    std::vector<SoundEntry> file;
    for (std::uint16_t n = 1; n < 2000; ++n) {
        file.push_back({n, n == 0x100 || n % 3 == 0, "comment"});
    }
    for (int round = 0; round < 100 || passes < 1000; ++round) {
        catalogue.Replace(file, nullptr);
        auto edit = catalogue.BeginEdit();
        edit.Clear(nullptr);
        for (const SoundEntry& entry : file) {
            edit.AddOrUpdate(entry.number, entry.comment, entry.mute, false);
        }
    }
    done = true;
    pump.join();
    EXPECT_EQ(unmutedSeen.load(), 0);
}

// A load's refill: built before the lock is taken, so lookups meanwhile see the old catalogue, and
// stored as AddOrUpdate with keepPosition false would store the file's elements one by one.
TEST(SoundCatalogueReplaceTest, StoresLikeTheReaderAndLetsLookupsGoOn) {
    class LookingView final : public SoundListView {
    public:
        explicit LookingView(const SoundCatalogue& catalogue) : m_catalogue(catalogue) {}
        void RebuildSoundList() override {}
        void DeleteAllSoundRows() override {
            // Another thread, as the hook pump: it must not wait for the load.
            auto lookup = std::async(std::launch::async, [this] { return m_catalogue.IsMuted(9); });
            answered = lookup.wait_for(std::chrono::seconds(30)) == std::future_status::ready; // hang guard
            mutedMeanwhile = answered && lookup.get();
            countMeanwhile = m_catalogue.Count();
        }
        bool answered = false;
        bool mutedMeanwhile = false;
        std::size_t countMeanwhile = 0;

    private:
        const SoundCatalogue& m_catalogue;
    };
    SoundCatalogue catalogue;
    catalogue.AddOrUpdate(9, "old", true, false, false, nullptr);
    LookingView view(catalogue);
    catalogue.Replace(
        {{0x10, true, "a"}, {0, false, "zero"}, {0x20, false, ""}, {0x10, false, "b"}, {0xFFFF, true, ""}}, &view);
    EXPECT_TRUE(view.answered);
    EXPECT_TRUE(view.mutedMeanwhile);
    EXPECT_EQ(view.countMeanwhile, 1u);
    ExpectContents(catalogue, {{0x20, false, ""}, {0x10, false, "b"}});
}
