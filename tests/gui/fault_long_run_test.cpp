// A long run of the real window against the virtual dongle program with its
// line faults switched on: dropped, late and damaged answers and stray bytes.
// Many REQ_UD2 exchanges with protected answers, then a whole encrypted
// update. Built with the sanitizers this is the run that must stay silent:
// any ASan, UBSan or LeakSanitizer report fails the test binary.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/support/dongle_process.h"
#include "tests/support/gui_fixture.h"

namespace {

using namespace guitest;

class FaultLongRun : public WindowTest {};

// Two dongles on two ports: the first damages and delays its answers (cheap
// faults: a lost answer costs one poll slot), the second drops and delays
// acknowledgements during the update (each drop costs a whole wait).
TEST_F(FaultLongRun, ProtectedAnswersAndAFullUpdateThroughLineFaults) {
  DongleProcess noisy("noisy-dongle", {"--protected-answers", "--baud", "9600", "--seed", "3", "--corrupt", "0.15",
                                       "--stray", "0.15", "--late-ack", "0.2", "--late-ms", "300"});
  DongleProcess lossy("lossy-dongle", {"--protected-answers", "--baud", "9600", "--seed", "2", "--drop-ack", "0.2",
                                       "--late-ack", "0.3", "--late-ms", "300"});
  ASSERT_TRUE(noisy.started() && lossy.started()) << "virtual-dongle not found in the build folder or it did not start";
  buildListing(noisy.link + ":" + lossy.link);
  connect(noisy.link, 1);
  ASSERT_TRUE(window->getConnection().connected());

  // REQ_UD2 exchanges: protected answers verified and decrypted, some of
  // them damaged or preceded by stray bytes on the way.
  for (int i = 0; i < 40; ++i) {
    send(DongleToolWindow::ID_REQ_UD2);
    runFor(400);
  }
  EXPECT_EQ(noisy.stop(), 0);
  std::map<std::string, std::string> s = noisy.summary();
  const std::string exchanges = console();
  EXPECT_EQ(occurrences(exchanges, ">>> REQ_UD2\n"), 40);
  EXPECT_GE(occurrences(exchanges, "Decrypt OK.\n"), 20) << exchanges.substr(0, 4000);
  EXPECT_LE(occurrences(exchanges, "Decrypt Error.\n"), std::stoi(s["answers_corrupted"]));
  EXPECT_NE(s["answers_corrupted"], "0");
  EXPECT_NE(s["stray_bytes"], "0");

  // A whole encrypted update of 1000 bytes on the other port; every fault
  // only costs a repeat.
  connect(lossy.link, 1);
  ASSERT_TRUE(window->getConnection().connected());
  std::vector<uint8_t> image(1000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = (uint8_t)(i * 29 + i / 128);
  std::ofstream("image.cfw", std::ios::binary).write((const char*)image.data(), (long)image.size());
  window->chooseFirmwarePath = [] { return std::string("image.cfw"); };
  ASSERT_EQ(send(DongleToolWindow::ID_OPEN_FIRMWARE), 1);
  ASSERT_EQ(send(DongleToolWindow::ID_FIRMWARE_UPDATE), 1);
  EXPECT_NE(console().find("Dongle is now reprogramming, please reselect Dongle and check result.\n"),
            std::string::npos);
  runFor(300);

  EXPECT_EQ(lossy.stop(), 0);
  s = lossy.summary();
  EXPECT_EQ(s["complete"], "yes");
  EXPECT_EQ(s["length"], "1000");
  EXPECT_EQ(s["mac_failures"], "0");
  EXPECT_EQ(readBytes(lossy.outputPath), image);
  // The faults did happen, so the run went through the repeat paths.
  EXPECT_NE(s["acks_dropped"], "0");
  EXPECT_NE(s["acks_late"], "0");
  // The log holds exactly what the console showed, plus the security traces.
  const std::string log = readFile(LOG_PATH);
  EXPECT_EQ(occurrences(log, "Decrypt OK.\n"), occurrences(console(), "Decrypt OK.\n"));
  EXPECT_EQ(occurrences(log, ">>> "), occurrences(console(), ">>> "));
}

}  // namespace
