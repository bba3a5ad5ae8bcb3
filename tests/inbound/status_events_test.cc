#include "inbound/status_events.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "inbound/handler_test_fixture.h"

namespace dorvek::inbound {
namespace {

using core::EntryType;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

using StatusEventsTest = HandlerTest;

// The edges of the table and its holes; the code is read from its leading digits.
TEST_P(StatusEventsTest, CodeSelectsTheText) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"0", " inloggen in terminal"},
      {"abc", " inloggen in terminal"},
      {"002", " start rit"},
      {"3", ""},
      {"4", " einde rit"},
      {"014", " start pauze"},
      {"37", " reset waargenomen"},
      {"38", ""},
      {"39", ""},
      {"40", " bus stop waargenomen"},
      {"42", " betaalstatus ontvangen"},
      {"43", ""},
      {"254", ""},
      {"255", " stuurt onbekende actie"},
      {"256", ""},
      {"-1", ""},
  };
  for (const auto& [code, text] : cases) {
    SCOPED_TRACE(code);
    ClearNotes();
    Handle("NUMBER=004 TYPE=FORM STATUS=NEW UNIT=4711 201=" + code);
    EXPECT_EQ(Notes(),
              text.empty() ? std::vector<std::string>{} : std::vector<std::string>{"999 Wagen 17" + text});
  }
}

TEST_P(StatusEventsTest, RideAcceptedMarksTheRideFirst) {
  Handle("NUMBER=004 TYPE=FORM STATUS=NEW UNIT=4711 201=27 000=00104");
  EXPECT_EQ(One("select * from planning where pla_id=104").Int("pla_com_status"), 1);
  Handle("NUMBER=004 TYPE=FORM STATUS=NEW UNIT=4711 201=27");
  EXPECT_EQ(fixture_.Count("planning", "pla_com_status=1"), 1);
  // A failed acceptance is the acceptance's own error entry; the notification follows.
  db_.FailWhenSqlContains("update planning", "planning op slot");
  Handle("NUMBER=004 TYPE=FORM STATUS=NEW UNIT=4711 201=27 000=101");
  EXPECT_TRUE(Logged(EntryType::kError, "planning op slot"));
  EXPECT_EQ(Notes(), std::vector<std::string>(3, "999 Wagen 17 rit aangenomen"));
}

TEST_P(StatusEventsTest, HandledOnceAndBeforeTheShiftForms) {
  // An unknown code posts nothing and the forms still run.
  Handle("NUMBER=004 TYPE=FORM STATUS=NEW UNIT=4711 201=38 038=1");
  EXPECT_THAT(Notes(), ElementsAre("1 Wagen 17 verzoekt om spraak"));
  ClearNotes();
  Handle("NUMBER=004 TYPE=FORM STATUS=NEW UNIT=4713 201=0 003=003 001=1234 004=ochtend");
  EXPECT_THAT(Notes(),
              ElementsAre("999 Wagen 31 inloggen in terminal", "116 Wagen 31 aanvang dienst ochtend"));
  ClearNotes();
  // A break key with a status event: the key event first, then the status event.
  Handle("NUMBER=004 TYPE=KEY STATUS=NEW UNIT=4711 201=13 004=5");
  EXPECT_THAT(Notes(),
              ElementsAre("102 Wagen 17 verzoek pauze - 5 minuten", "999 Wagen 17 verzoekt om pauze"));
  // Other message numbers carry no status event.
  ClearNotes();
  Handle("NUMBER=005 TYPE=FORM STATUS=NEW UNIT=4711 201=14");
  EXPECT_THAT(Notes(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(AllPaths, StatusEventsTest, test_support::AllDbPaths(),
                         test_support::DbPathTestName());

}  // namespace
}  // namespace dorvek::inbound
