// What ifa-agent prints after each command, run as a process: entries with
// every field left out, the listings, the tables a report shows, the values'
// base, the JSON documents, errors and colour.
#include <gtest/gtest.h>

#include <string>

#include "AgentProcessSupport.h"

namespace {

using namespace AgentTest;

// An entry given by its table and index alone is the entry whose fields are
// all 0, in a plan and in an apply, for tables of many fields, of one field
// and of none; what is shown reads back as the same entries.
TEST(AgentOutput, AnEntryWithEveryFieldLeftOutIsTheAllZeroEntry) {
  TempDir dir;
  std::string const image = quote(dir.file("chip.img"));
  write(dir.file("empty.conf"),
        "IfaEpRecirc 0\nIfaSwitchId 0\t# one field\nIfaMetadataConstructProfile 1\n");
  std::string const conf = quote(dir.file("empty.conf"));
  Result const plan = agent("plan " + conf + " --json --image " + image);
  ASSERT_EQ(plan.status, 0) << plan.err;
  EXPECT_EQ(json(plan.out)["summary"]["write"], 3);
  Result const apply = agent("apply " + conf + " --create --image " + image);
  ASSERT_EQ(apply.status, 0) << apply.err;
  auto const config = IfaAgent::Config::read(dir.file("empty.conf"), ranges("corvane-sim-a"));
  EXPECT_EQ(config.table<CorvaneInt::IfaEpRecirc>().items.at(0).entry,
            CorvaneInt::IfaEpRecirc::Entry());
  EXPECT_EQ(agent("show --format full --image " + image).out, shown(config));
  // Applied again, nothing changes.
  Result const again = agent("plan " + conf + " --detailed-exitcode --image " + image);
  EXPECT_EQ(again.status, 0) << again.out << again.err;
}

}  // namespace
