// RingTrace: registration of message sites, recording into the bounded ring,
// and reading the messages back as text.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "Orrin/String.h"
#include "RingTrace/RingTrace.h"

namespace {

// Three message sites, each with its own id, as the table engine has them.
// Each returns its id variable so that tests can look at it.
int& siteA(char const* table, char const* step) {
  static int msgId = 0;
  RingTrace::record(msgId, "AsicSwTable/SiteA", 11, "siteA", "{}: {}", table, step);
  return msgId;
}

int& siteB(Orrin::String const& table, std::string const& step) {
  static int msgId = 0;
  RingTrace::record(msgId, "AsicSwTable/SiteB", 22, "siteB", "{} -> {}!", table, step);
  return msgId;
}

int& siteNoArgs() {
  static int msgId = 0;
  RingTrace::record(msgId, "AsicSwTable/SiteC", 33, "siteC", "tick");
  return msgId;
}

class RingTraceTest : public ::testing::Test {
 protected:
  void SetUp() override { RingTrace::closeDefault(); }
  void TearDown() override { RingTrace::closeDefault(); }
};

TEST_F(RingTraceTest, NothingHappensWithoutHandleOrTraceFile) {
  int msgId = 0;
  RingTrace::record(msgId, "file", 1, "name", "{}", "x");
  EXPECT_EQ(RingTrace::defaultRingTraceHandle, nullptr);
  EXPECT_EQ(msgId, 0);

  RingTrace::openDefault(256);
  ASSERT_NE(RingTrace::defaultRingTraceHandle, nullptr);
  RingTrace::defaultRingTraceHandle->traceFileIs(nullptr);
  EXPECT_EQ(RingTrace::defaultRingTraceHandle->mtTraceFile(), nullptr);
  RingTrace::record(msgId, "file", 1, "name", "{}", "x");
  EXPECT_EQ(msgId, 0);
}

TEST_F(RingTraceTest, EachSiteRegistersOnceWithItsOwnId) {
  RingTrace::TraceFile& file = RingTrace::openDefault(4096);
  EXPECT_EQ(RingTrace::defaultRingTraceHandle->mtTraceFile(), &file);

  int const idA = siteA("IfaActionProfile", "handleEntry");
  EXPECT_EQ(file.registrations(), 1u);
  siteA("IfaActionProfile", "programHwEntry");
  siteA("IfaEpRecirc", "handleEntry");
  int const idB = siteB(Orrin::String("IfaPort"), "entryRemoveAll");
  int const idC = siteNoArgs();
  EXPECT_EQ(file.registrations(), 3u);
  EXPECT_GT(idA, 0);
  EXPECT_NE(idA, idB);
  EXPECT_NE(idB, idC);
  EXPECT_NE(idA, idC);
  EXPECT_EQ(siteA("IfaActionProfile", "handleEntry"), idA);
  EXPECT_EQ(file.registrations(), 3u);

  RingTrace::MsgInfo const* a = file.msgInfo(idA);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->name, "siteA");
  EXPECT_EQ(a->format, "{}: {}");
  EXPECT_EQ(a->argTypes, "pp");
  EXPECT_EQ(a->sourceFile, "AsicSwTable/SiteA");
  EXPECT_EQ(a->line, 11u);
  EXPECT_EQ(a->group, "");
  EXPECT_EQ(file.msgInfo(idC)->argTypes, "");

  std::vector<std::string> const expected{
      "IfaActionProfile: handleEntry",
      "IfaActionProfile: programHwEntry",
      "IfaEpRecirc: handleEntry",
      "IfaPort -> entryRemoveAll!",
      "tick",
      "IfaActionProfile: handleEntry",
  };
  EXPECT_EQ(file.text(), expected);
  EXPECT_EQ(file.ringBuf().recorded(), 6u);
  EXPECT_EQ(file.ringBuf().dropped(), 0u);
  EXPECT_EQ(file.ringBuf().messages()[3], (RingTrace::Message{idB, {"IfaPort", "entryRemoveAll"}}));
}

TEST_F(RingTraceTest, ANewTraceFileRegistersTheSitesAgain) {
  RingTrace::TraceFile& first = RingTrace::openDefault(4096);
  int& idOfA = siteA("T", "one");
  siteB(Orrin::String("T"), "two");
  ASSERT_EQ(first.registrations(), 2u);
  ASSERT_TRUE(first.msgIdInitialized(idOfA));

  // The new file gives ids in its own order: site B first now.
  RingTrace::TraceFile& second = RingTrace::openDefault(4096);
  EXPECT_EQ(second.registrations(), 0u);
  EXPECT_FALSE(second.msgIdInitialized(idOfA));
  int const secondB = siteB(Orrin::String("U"), "three");
  int const secondA = siteA("U", "four");
  EXPECT_EQ(second.registrations(), 2u);
  EXPECT_EQ(secondB, 1);
  EXPECT_EQ(secondA, 2);
  EXPECT_EQ(second.msgInfo(secondA)->name, "siteA");
  EXPECT_EQ(second.text(), (std::vector<std::string>{"U -> three!", "U: four"}));
}

TEST_F(RingTraceTest, AnIdRegisteredForAnotherSiteIsNotTaken) {
  RingTrace::TraceFile& file = RingTrace::openDefault(4096);
  int const idA = siteA("T", "a");
  int stray = idA;  // another site's variable holding the same number
  EXPECT_TRUE(file.msgIdInitialized(siteA("T", "b")));
  EXPECT_FALSE(file.msgIdInitialized(stray));
  RingTrace::record(stray, "Other", 5, "other", "{}", "c");
  EXPECT_NE(stray, idA);
  EXPECT_EQ(file.registrations(), 2u);
  EXPECT_EQ(file.text().back(), "c");
}

TEST_F(RingTraceTest, InactiveRingRecordsNothing) {
  RingTrace::TraceFile& file = RingTrace::openDefault(4096);
  file.ringBuf().activeIs(false);
  int const id = siteA("T", "quiet");
  EXPECT_GT(id, 0);  // the site is still registered
  EXPECT_EQ(file.ringBuf().messageCount(), 0u);
  EXPECT_EQ(file.ringBuf().recorded(), 0u);
  EXPECT_EQ(file.ringBuf().usedBytes(), 0u);
  file.ringBuf().activeIs(true);
  siteA("T", "loud");
  EXPECT_EQ(file.text(), std::vector<std::string>{"T: loud"});
}

// The ring against a model of what it must hold: the newest messages whose
// stored sizes (4 + 4 + per argument 4 + length) fit its capacity.
TEST_F(RingTraceTest, WrapAroundKeepsTheNewestMessagesWhole) {
  for (std::uint32_t seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::size_t const capacity = 40 + rng() % 120;
    RingTrace::TraceFile& file = RingTrace::openDefault(capacity);
    std::deque<RingTrace::Message> model;
    std::size_t modelBytes = 0;
    std::uint64_t modelDropped = 0;
    std::uint64_t modelRecorded = 1;
    int const id = siteA("x", "y");
    model.push_back({id, {"x", "y"}});
    modelBytes = 8 + 5 + 5;

    for (int step = 0; step < 300; ++step) {
      std::string const a(rng() % 20, static_cast<char>('a' + step % 26));
      std::string const b(rng() % 40, static_cast<char>('A' + step % 26));
      siteA(a.c_str(), b.c_str());
      std::size_t const size = 8 + 4 + a.size() + 4 + b.size();
      if (size > capacity) {
        ++modelDropped;
      } else {
        while (modelBytes + size > capacity) {
          RingTrace::Message const& oldest = model.front();
          modelBytes -= 8 + 8 + oldest.args[0].size() + oldest.args[1].size();
          model.pop_front();
          ++modelDropped;
        }
        model.push_back({id, {a, b}});
        modelBytes += size;
        ++modelRecorded;
      }
      ASSERT_EQ(file.ringBuf().messages(),
                std::vector<RingTrace::Message>(model.begin(), model.end()))
          << "step " << step;
      ASSERT_EQ(file.ringBuf().usedBytes(), modelBytes);
      ASSERT_EQ(file.ringBuf().dropped(), modelDropped);
      ASSERT_EQ(file.ringBuf().recorded(), modelRecorded);
      ASSERT_EQ(file.ringBuf().messageCount(), model.size());
    }
    ASSERT_EQ(file.text().back(), file.messageText(model.back()));
  }
}

TEST_F(RingTraceTest, DirectRecordingChecksIdsAndDescriptions) {
  RingTrace::TraceFile& file = RingTrace::openDefault(1024);
  RingTrace::RingBuf& ring = RingTrace::RingBuf::startMsg(file, 99);  // never registered
  RingTrace::put(ring, "lost");
  ring.endMsg();
  EXPECT_EQ(ring.rejected(), 1u);
  EXPECT_EQ(ring.messageCount(), 0u);

  int msgId = 0;
  {
    RingTrace::MsgDesc desc(file, &msgId, "src", 3);
    desc.formatString().put("p");
    RingTrace::msgDesc(desc, "grp", "twoHoles", "{} and {}");
    EXPECT_THROW(desc.finish(), std::invalid_argument);  // one argument type for two holes
  }
  EXPECT_EQ(msgId, 0);
  EXPECT_EQ(file.registrations(), 0u);
  RingTrace::MsgFormatString types;
  EXPECT_THROW(types.put("u"), std::invalid_argument);

  RingTrace::MsgDesc desc(file, &msgId, "src", 3);
  desc.formatString().put("p");
  desc.formatString().put("p");
  RingTrace::msgDesc(desc, "grp", "twoHoles", "[{}|{}]");
  desc.finish();
  desc.finish();  // once only
  EXPECT_EQ(file.registrations(), 1u);
  EXPECT_TRUE(file.msgIdInitialized(msgId));
  EXPECT_EQ(file.msgInfo(msgId)->group, "grp");

  EXPECT_EQ(file.messageText({msgId, {"a", "b"}}), "[a|b]");
  EXPECT_EQ(file.messageText({msgId, {"a"}}), "[a|{}]");
  EXPECT_EQ(file.messageText({msgId, {"a", "b", "c"}}), "[a|b]");
  EXPECT_EQ(file.messageText({msgId + 1, {"a", "b"}}), "<message 2>(a, b)");
}

TEST_F(RingTraceTest, MessageLargerThanTheRingIsDropped) {
  RingTrace::TraceFile& file = RingTrace::openDefault(32);
  siteA("short", "one");  // 8 + 9 + 7 = 24 bytes
  std::string const huge(64, 'h');
  siteA("x", huge.c_str());
  EXPECT_EQ(file.text(), std::vector<std::string>{"short: one"});
  EXPECT_EQ(file.ringBuf().dropped(), 1u);
  EXPECT_EQ(file.ringBuf().recorded(), 1u);
}

using RingTraceDeathTest = RingTraceTest;

TEST_F(RingTraceDeathTest, NegativeIdFailsTheAssertion) {
  RingTrace::openDefault(256);
  int msgId = -1;
  EXPECT_DEATH(RingTrace::record(msgId, "file", 1, "name", "{}", "x"),
               "assertion \"msgId_ >= 0\" failed: file \"/usr/include/RingTrace/RingTrace\", "
               "line 269, function RingTrace::TraceFile::msgIdInitialized\n");
}

}  // namespace
