// A night's state from kadrix's transcript and exit, and the status file
// that keeps it.

#include "tools/nights/night_status.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using namespace kadrix::nights;

constexpr char kHead[] =
    "/n/ sciezka do plikow BMP\r\nM42 0\r\nM51 1\r\n2 obrazkow do analizy\r\n";

TEST(NightStatus, TheTranscriptAndTheExitDecideTheState) {
  struct Case {
    const char* name;
    std::string transcript;
    int exit_status, signal;
    NightState state;
    std::vector<std::string> objects;
    bool nothing;
  } cases[] = {
      {"clean", std::string(kHead) + "Obr: M42 Kl: 17 Sr: 1.0, Var: 2.0 new Var: 1.0\r\n"
                                     "Obr: M51 Kl: 17 Sr: 1.0, Var: 2.0 new Var: 1.0\r\n",
       0, 0, NightState::ok, {}, false},
      {"too few frames", std::string(kHead) + "Obr: M42 Kl: 17 Sr: 1.0, Var: 2.0 new Var: 1.0\r\n"
                                              "Obr: M51 Kl: 1 za malo klatek, obiekt pominiety\r\n",
       0, 0, NightState::remarks, {"M51"}, false},
      {"bad frame", std::string(kHead) + "Zly plik /n/M4203.BMP: rozmiar 5x5, klatka 01 ma 8x8\r\n"
                                         "Obr: M42 Kl: 2 Sr: 1.0, Var: 2.0 new Var: 1.0\r\n",
       0, 0, NightState::remarks, {"/n/M4203.BMP"}, false},
      {"write failed", std::string(kHead) + "Obr: M42 Kl: 17 Sr: 1.0, Var: 2.0 new Var: 1.0\r\n"
                                            "Obr: M51 Kl: 17 Sr: 1.0, Var: 2.0 new Var: 1.0\r\n"
                                            "Blad zapisu pliku /n/M51SR.BMP\r\n",
       1, 0, NightState::lost, {"M51"}, false},
      {"out of memory", std::string(kHead) + "Obr: M42 Kl: 17 brak pamieci, obiekt pominiety\r\n"
                                             "Obr: M51 Kl: 17 brak pamieci, obiekt pominiety\r\n",
       1, 0, NightState::lost, {"M42", "M51"}, false},
      {"exit 1 without a loss named", std::string(kHead), 1, 0, NightState::failed, {}, false},
      {"exit 2", "", 2, 0, NightState::failed, {}, false},
      {"killed", std::string(kHead) + "Obr: M42 Kl: 17 ", -1, 9, NightState::failed, {}, false},
      {"no list", "/n/ sciezka do plikow BMP\r\nBrak pliku /n/lista.list\r\n", 0, 0, NightState::failed, {}, true},
      {"list too long", "/n/ sciezka do plikow BMP\r\nZa duzo linii w pliku. Popraw zawartosc pliku.\r\n", 0, 0,
       NightState::failed, {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const NightStatus status = classify_night(c.transcript, c.exit_status, c.signal);
    EXPECT_STREQ(state_word(status.state), state_word(c.state));
    EXPECT_EQ(status.objects, c.objects);
    EXPECT_EQ(status.nothing_analysed, c.nothing);
    EXPECT_EQ(status.signal, c.signal);
    EXPECT_EQ(status.exit_status, c.signal ? -1 : c.exit_status);
  }
}

TEST(NightStatus, TheFileGivesBackWhatWasWrittenAndRefusesACutOne) {
  NightStatus lost;
  lost.state = NightState::lost;
  lost.exit_status = 1;
  lost.objects = {"M42", "M51"};
  lost.run = "host-12-345";
  const std::string text = format_status(lost);
  EXPECT_EQ(text, "stan=utracone\nwyjscie=1\nobiekty=M42 M51\nprzebieg=host-12-345\n");
  const auto back = parse_status(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->state, NightState::lost);
  EXPECT_EQ(back->exit_status, 1);
  EXPECT_EQ(back->objects, lost.objects);
  EXPECT_EQ(back->run, lost.run);

  const auto killed = parse_status("stan=blad\nsygnal=15\nobiekty=\nprzebieg=r\n");
  ASSERT_TRUE(killed);
  EXPECT_EQ(killed->signal, 15);
  EXPECT_EQ(killed->exit_status, -1);
  EXPECT_TRUE(killed->objects.empty());

  for (const std::string& bad : {text.substr(0, text.size() - 1), std::string("stan=zle\nwyjscie=0\nprzebieg=r\n"),
                                std::string("wyjscie=0\nprzebieg=r\n"), std::string("stan=ok\nprzebieg=r\n"),
                                std::string("stan=ok\nwyjscie=x\nprzebieg=r\n"), std::string("")}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(parse_status(bad));
  }
}

TEST(NightStatus, AWrittenFileReplacesTheOldOneWhole) {
  kadrix_test::TempDir dir;
  const std::string path = dir.file("lista.list.status");
  kadrix_test::write_file(path, std::string("stary"));
  NightStatus ok;
  ok.state = NightState::ok;
  ok.exit_status = 0;
  ok.run = "r1";
  ASSERT_TRUE(write_status_file(path, ok));
  const auto back = read_status_file(path);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->state, NightState::ok);
  EXPECT_EQ(back->run, "r1");
  EXPECT_EQ(kadrix_test::list_dir(dir.path().string()), std::vector<std::string>{"lista.list.status"});
  EXPECT_FALSE(read_status_file(dir.file("none.status")));
}

}  // namespace
