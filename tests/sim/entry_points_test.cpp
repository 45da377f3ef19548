// The contract of each group of driver entry points as the library relies on it.
#include <gtest/gtest.h>

#include "sim/sim_test_util.h"

namespace {

using simtest::SimTest;

TvcSimChannelInfo Info(int32_t ch) {
  TvcSimChannelInfo info{};
  EXPECT_EQ(TVCSIM_OK, TvcSimGetChannelInfo(ch, &info));
  return info;
}

class EntryPoints : public SimTest {};

TEST_F(EntryPoints, LoadAndBoardInfo) {
  EXPECT_EQ(0, TvcSimIsLoaded());
  EXPECT_EQ(0, TvcLoadDrvA());
  EXPECT_EQ(1, TvcSimIsLoaded());
  TvcDrvInfo info;
  std::memset(&info, 0xEE, sizeof info);
  EXPECT_EQ(0, TvcGetDrvInfo(&info));
  EXPECT_EQ(8, info.channel_total);
  EXPECT_EQ(1, info.board_count);
  for (uint8_t b : info.reserved) EXPECT_EQ(0, b);
  EXPECT_EQ(-1, TvcGetDrvInfo(nullptr));
  EXPECT_EQ(0, TvcFreeDrv());
  EXPECT_EQ(0, TvcSimIsLoaded());

  TvcSimSetLoadResult(7);
  EXPECT_EQ(7, TvcLoadDrvA());
  EXPECT_EQ(0, TvcSimIsLoaded());

  ASSERT_EQ(TVCSIM_OK, TvcSimSetChannelTotal(300));
  ASSERT_EQ(TVCSIM_OK, TvcSimSetBoardCount(10));
  EXPECT_EQ(0, TvcGetDrvInfo(&info));
  EXPECT_EQ(300, info.channel_total);
  EXPECT_EQ(10, info.board_count);
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetChannelTotal(0));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetBoardCount(256));
}

TEST_F(EntryPoints, ChannelTypesAndRange) {
  EXPECT_EQ(0, TvcGetChType(0));
  ASSERT_EQ(TVCSIM_OK, TvcSimSetChannelType(1, TVC_CHTYPE_USER));
  ASSERT_EQ(TVCSIM_OK, TvcSimSetChannelType(2, TVC_CHTYPE_TRUNK));
  EXPECT_EQ(TVC_CHTYPE_USER, TvcGetChType(1));
  EXPECT_EQ(TVC_CHTYPE_TRUNK, TvcGetChType(2));
  // Outside the board: "no channel" for the type, -1 for everything else.
  EXPECT_EQ(TVC_CHTYPE_NONE, TvcGetChType(8));
  EXPECT_EQ(TVC_CHTYPE_NONE, TvcGetChType(-1));
  EXPECT_EQ(-1, TvcGetChState(8));
  EXPECT_EQ(-1, TvcGetChState(-1));
  EXPECT_EQ(-1, TvcPickUp(-1));
  EXPECT_EQ(-1, TvcStartRingEx(-1, "1"));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetChannelType(8, 0));
  // Shrinking and growing the board gives new channels the defaults.
  ASSERT_EQ(TVCSIM_OK, TvcSimSetChannelTotal(2));
  EXPECT_EQ(TVC_CHTYPE_NONE, TvcGetChType(2));
  ASSERT_EQ(TVCSIM_OK, TvcSimSetChannelTotal(4));
  EXPECT_EQ(0, TvcGetChType(2));
  EXPECT_EQ(TVC_CHTYPE_USER, TvcGetChType(1));
}

TEST_F(EntryPoints, StateAndCounters) {
  EXPECT_EQ(TVC_STATE_FREE, TvcGetChState(3));
  TvcSimSetState(3, TVC_STATE_RINGING);
  EXPECT_EQ(TVC_STATE_RINGING, TvcGetChState(3));
  EXPECT_EQ(TVC_STATE_FREE, TvcGetChState(2));

  TvcSimSetCounter(3, TVCSIM_COUNTER_RING, 2);
  TvcSimAddCounter(3, TVCSIM_COUNTER_RING, 1);
  TvcSimSetCounter(3, TVCSIM_COUNTER_BUSY, 4);
  TvcSimSetCounter(3, TVCSIM_COUNTER_FLASH, 5);
  TvcSimSetCounter(3, TVCSIM_COUNTER_POLARITY, 6);
  EXPECT_EQ(3, TvcGetRingCount(3));
  EXPECT_EQ(4, TvcGetBusyCount(3));
  EXPECT_EQ(5, TvcGetFlashCount(3));
  EXPECT_EQ(6, TvcGetPolarCount(3));
  // Reading does not consume; clearing does, per counter.
  EXPECT_EQ(3, TvcGetRingCount(3));
  TvcClearRingCount(3);
  EXPECT_EQ(0, TvcGetRingCount(3));
  EXPECT_EQ(4, TvcGetBusyCount(3));
  TvcClearBusyCount(3);
  TvcClearFlashCount(3);
  TvcClearPolarCount(3);
  EXPECT_EQ(0, TvcGetBusyCount(3));
  EXPECT_EQ(0, TvcGetFlashCount(3));
  EXPECT_EQ(0, TvcGetPolarCount(3));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetCounter(3, 9, 1));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetCounter(3, TVCSIM_COUNTER_RING, -1));
  TvcSimAddCounter(3, TVCSIM_COUNTER_BUSY, -5);
  EXPECT_EQ(0, TvcGetBusyCount(3));  // never below zero
}

TEST_F(EntryPoints, PickUpAnswersTheRingingAndHangUpReleases) {
  TvcSimSetCounter(0, TVCSIM_COUNTER_RING, 2);
  EXPECT_EQ(0, TvcPickUp(0));
  EXPECT_EQ(1, Info(0).off_hook);
  EXPECT_EQ(0, TvcGetRingCount(0));
  EXPECT_EQ(0, TvcHangUp(0));
  EXPECT_EQ(0, Info(0).off_hook);
}

TEST_F(EntryPoints, CallerIdIsReadUntilCleared) {
  char buf[128];
  std::memset(buf, 'x', sizeof buf);
  // Nothing waiting: 0 and an empty text, so an older number cannot survive.
  EXPECT_EQ(0, TvcGetCallerId(0, buf, 32));
  EXPECT_STREQ("", buf);
  TvcSimSetCallerId(0, "5551234");
  EXPECT_EQ(7, TvcGetCallerId(0, buf, 32));
  EXPECT_STREQ("5551234", buf);
  EXPECT_EQ(7, TvcGetCallerId(0, buf, 32));
  // At most max characters, zero-terminated.
  EXPECT_EQ(3, TvcGetCallerId(0, buf, 3));
  EXPECT_STREQ("555", buf);
  TvcClrCallerIdBuf(0);
  EXPECT_EQ(0, TvcGetCallerId(0, buf, 32));
  EXPECT_EQ(0, TvcGetCallerId(0, nullptr, 32));
  // Longer numbers are cut to 127 characters when set.
  const std::string long_number(300, '9');
  TvcSimSetCallerId(1, long_number.c_str());
  std::vector<char> big(400);
  EXPECT_EQ(127, TvcGetCallerId(1, big.data(), 399));
}

TEST_F(EntryPoints, DtmfDigitsAreConsumedInOrder) {
  char buf[33];
  EXPECT_EQ(0, TvcGetDtmfStr(2, buf, 32, 1));
  EXPECT_STREQ("", buf);
  ASSERT_EQ(TVCSIM_OK, TvcSimPushDtmf(2, "12*#"));
  ASSERT_EQ(TVCSIM_OK, TvcSimPushDtmf(2, "AD"));
  EXPECT_EQ(1, TvcGetDtmfStr(2, buf, 1, 1));
  EXPECT_STREQ("1", buf);
  EXPECT_EQ(5, TvcGetDtmfStr(2, buf, 32, 1));
  EXPECT_STREQ("2*#AD", buf);
  EXPECT_EQ(0, TvcGetDtmfStr(2, buf, 32, 1));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimPushDtmf(2, "12x"));
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimPushDtmf(2, nullptr));
  EXPECT_EQ(0, Info(2).pending_dtmf);
  // 40 digits come out 32 at a time into the 33-byte buffer.
  ASSERT_EQ(TVCSIM_OK, TvcSimPushDtmf(2, std::string(40, '7').c_str()));
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(32, TvcGetDtmfStr(2, buf, 32, 1));
  EXPECT_EQ('\0', buf[32]);
  EXPECT_EQ(8, Info(2).pending_dtmf);
  TvcClrRxDtmfBuf(2);
  EXPECT_EQ(0, TvcGetDtmfStr(2, buf, 32, 1));
}

TEST_F(EntryPoints, SoundFlagAndSettings) {
  EXPECT_EQ(0, TvcIsSound(0));
  TvcSimSetSound(0, 1);
  EXPECT_EQ(1, TvcIsSound(0));
  TvcSetNoSoundDtrTime(0, 3000);
  TvcSetBargeInSensitive(0, 4);
  TvcSetRecAgc(0, 1);
  TvcSetRecVol(0, 7);
  TvcRecPlayVoiceVol(0, 6);
  const TvcSimChannelInfo i = Info(0);
  EXPECT_EQ(3000, i.no_sound_ms);
  EXPECT_EQ(4, i.barge_in_level);
  EXPECT_EQ(1, i.rec_agc);
  EXPECT_EQ(7, i.rec_volume);
  EXPECT_EQ(6, i.play_volume);
  EXPECT_EQ(-1, Info(1).rec_volume);
}

TEST_F(EntryPoints, PlaybackRunsForItsLengthAndCanBeStopped) {
  const std::string file = Path("prompt.dat");
  simtest::WriteFile(file, std::vector<uint8_t>(256 * 32, 1));  // 32 voice blocks: 2016 ms
  EXPECT_EQ(0, TvcGetPlayStat(1));
  EXPECT_EQ(0, TvcStartPlayFile(1, file.c_str(), 1, 0, 0));
  EXPECT_EQ(1, TvcGetPlayStat(1));
  char now[256];
  TvcSimGetPlaying(1, now, sizeof now);
  EXPECT_EQ(file, now);
  TvcSimAdvance(2015);
  EXPECT_EQ(1, TvcGetPlayStat(1));
  TvcSimAdvance(1);
  EXPECT_EQ(0, TvcGetPlayStat(1));
  TvcSimGetPlaying(1, now, sizeof now);
  EXPECT_STREQ("", now);

  // A missing file does not play: non-zero, nothing running.
  EXPECT_NE(0, TvcStartPlayFile(1, Path("missing.dat").c_str(), 1, 0, 0));
  EXPECT_NE(0, TvcStartPlayFile(1, nullptr, 1, 0, 0));
  EXPECT_NE(0, TvcStartPlayFile(1, dir_.c_str(), 1, 0, 0));  // a directory is no sound file
  EXPECT_EQ(0, TvcGetPlayStat(1));

  // Stop ends it at once; backslash paths reach the same file.
  std::string windows = file;
  std::replace(windows.begin(), windows.end(), '/', '\\');
  EXPECT_EQ(0, TvcStartPlayFile(1, windows.c_str(), 1, 0, 0));
  EXPECT_EQ(1, TvcGetPlayStat(1));
  TvcStopPlay(1);
  EXPECT_EQ(0, TvcGetPlayStat(1));
  EXPECT_EQ(2, Info(1).plays_started);
}

TEST_F(EntryPoints, PlaybackLastsAsLongAsTheAudio) {
  const auto wav = [](int samples, simtest::WavLayout layout = {}) {
    return simtest::MakeWav(std::vector<int16_t>(static_cast<size_t>(samples), 100), layout);
  };
  simtest::WavLayout odd_order;
  odd_order.list_chunk_first = true;
  odd_order.data_before_fmt = true;
  simtest::WavLayout stereo16k;  // 64000 bytes per second
  stereo16k.channels = 2;
  stereo16k.rate = 16000;
  std::vector<uint8_t> truncated = wav(8000);  // says 16000 bytes of data, holds 8000
  truncated.resize(truncated.size() - 8000);
  std::vector<uint8_t> no_data = wav(0);
  no_data.resize(no_data.size() - 8);  // the data chunk's header goes
  const std::vector<uint8_t> avi = {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'A', 'V', 'I', ' '};
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    int32_t rate;  // TvcSimSetPlayRate; 0 is the audio's own length
    int64_t ms;
  };
  const Case cases[] = {
      {"voice blocks", std::vector<uint8_t>(256 * 32), 0, 2016},
      {"a started block counts whole", std::vector<uint8_t>(257), 0, 126},
      {"one byte", std::vector<uint8_t>(1), 0, 63},
      {"empty file", {}, 0, 0},
      {"8 kHz 16-bit WAV", wav(8000), 0, 1000},
      {"a started millisecond counts whole", wav(4001), 0, 501},
      {"size over a set rate", std::vector<uint8_t>(16000), 16000, 1000},
      {"WAV under a set rate", wav(8000), 16000, 1002},
      {"chunks in another order", wav(4000, odd_order), 0, 500},
      {"any WAVE format at its byte rate", wav(16000, stereo16k), 0, 500},
      {"data cut short", truncated, 0, 500},
      {"WAVE without data", no_data, 0, 63},
      {"other RIFF", avi, 0, 63},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = Path("f.dat");
    simtest::WriteFile(file, c.bytes);
    ASSERT_EQ(TVCSIM_OK, TvcSimSetPlayRate(c.rate));
    ASSERT_EQ(0, TvcStartPlayFile(1, file.c_str(), 1, 0, 0));
    if (c.ms > 0) {
      TvcSimAdvance(static_cast<int32_t>(c.ms - 1));
      EXPECT_EQ(1, TvcGetPlayStat(1));
      TvcSimAdvance(1);
    }
    EXPECT_EQ(0, TvcGetPlayStat(1));
  }
  EXPECT_EQ(TVCSIM_E_ARG, TvcSimSetPlayRate(-1));
}

TEST_F(EntryPoints, PlayListSkipsMissingFilesAndPlaysInOrder) {
  const std::string a = Path("a.dat");
  const std::string b = Path("b.dat");
  simtest::WriteFile(a, std::vector<uint8_t>(256 * 16, 0));  // 1008 ms
  simtest::WriteFile(b, std::vector<uint8_t>(256 * 8, 0));   // 504 ms
  EXPECT_NE(0, TvcSTartPlayFileList(2));                     // empty list
  TvcAppendFileToList(2, a.c_str(), 1, 0);
  TvcAppendFileToList(2, Path("gone.dat").c_str(), 1, 0);
  TvcAppendFileToList(2, b.c_str(), 1, 0);
  EXPECT_EQ(3, Info(2).play_list_length);
  EXPECT_EQ(0, TvcSTartPlayFileList(2));
  char now[256];
  TvcSimGetPlaying(2, now, sizeof now);
  EXPECT_EQ(a, now);
  TvcSimAdvance(1200);
  TvcSimGetPlaying(2, now, sizeof now);
  EXPECT_EQ(b, now);
  TvcSimAdvance(311);
  EXPECT_EQ(1, TvcGetPlayStat(2));
  TvcSimAdvance(1);
  EXPECT_EQ(0, TvcGetPlayStat(2));

  TvcClearFileList(2);
  EXPECT_EQ(0, Info(2).play_list_length);
  TvcAppendFileToList(2, Path("gone.dat").c_str(), 1, 0);
  EXPECT_NE(0, TvcSTartPlayFileList(2));  // nothing playable
  EXPECT_EQ(0, TvcGetPlayStat(2));
}

TEST_F(EntryPoints, LinksAreMutualAndExclusive) {
  EXPECT_EQ(0, TvcSetLinkWith(1, 7, 2, 7));
  EXPECT_EQ(2, TvcSimGetLink(1));
  EXPECT_EQ(1, TvcSimGetLink(2));
  // Linking 2 elsewhere breaks its link with 1.
  EXPECT_EQ(0, TvcSetLinkWith(3, 7, 2, 7));
  EXPECT_EQ(-1, TvcSimGetLink(1));
  EXPECT_EQ(3, TvcSimGetLink(2));
  EXPECT_EQ(0, TvcClearLinkWith(3));
  EXPECT_EQ(-1, TvcSimGetLink(2));
  EXPECT_EQ(-1, TvcSimGetLink(3));
  EXPECT_NE(0, TvcSetLinkWith(1, 7, 1, 7));
  EXPECT_NE(0, TvcSetLinkWith(1, 7, -1, 7));
  EXPECT_EQ(-1, TvcSimGetLink(99));
}

TEST_F(EntryPoints, UserPhoneRingingShowsTheNumberUntilStoppedOrLifted) {
  char number[64];
  EXPECT_EQ(0, TvcSimIsRinging(1));
  EXPECT_EQ(0, TvcStartRingEx(1, "5551234"));
  EXPECT_EQ(1, TvcSimIsRinging(1));
  TvcSimGetRingNumber(1, number, sizeof number);
  EXPECT_STREQ("5551234", number);
  EXPECT_EQ(0, TvcStopRing(1));
  EXPECT_EQ(0, TvcSimIsRinging(1));
  EXPECT_EQ(0, TvcStartRingEx(1, ""));
  TvcSimGetRingNumber(1, number, sizeof number);
  EXPECT_STREQ("", number);
  // The phone is lifted: it stops ringing by itself.
  TvcSimSetState(1, TVC_STATE_PICKED_UP);
  EXPECT_EQ(0, TvcSimIsRinging(1));
  EXPECT_EQ(TVC_STATE_PICKED_UP, TvcGetChState(1));
}

TEST_F(EntryPoints, DiallingTonesAndFlashes) {
  char text[64];
  TvcPickUp(2);
  TvcDialOut(2, "1", 0, 0, 0);
  TvcDialOut(2, "23", 0, 0, 0);
  TvcSimGetDialled(2, text, sizeof text);
  EXPECT_STREQ("123", text);
  TvcSimGetLastDial(2, text, sizeof text);
  EXPECT_STREQ("23", text);
  EXPECT_EQ(2, Info(2).dial_calls);
  TvcPickUp(2);  // a new call dials afresh
  TvcSimGetDialled(2, text, sizeof text);
  EXPECT_STREQ("", text);
  EXPECT_NE(0, TvcDialOut(2, nullptr, 0, 0, 0));

  EXPECT_EQ(-1, Info(1).last_tone);
  TvcStartSendTone(1, 1, 0, 0);
  TvcStartSendTone(1, 3, 0, 0);
  EXPECT_EQ(3, Info(1).last_tone);
  EXPECT_EQ(2, Info(1).tones_sent);
  TvcSendFlash(2);
  EXPECT_EQ(1, Info(2).flashes_sent);
}

TEST_F(EntryPoints, ToneAnalysisReportsOnlyWhileRunning) {
  TvcSimSetToneResult(2, 2);
  EXPECT_EQ(0, TvcGetToneAnalyzeResult(2));
  TvcStartToneAnalyze(2);
  EXPECT_EQ(1, Info(2).tone_analyzing);
  EXPECT_EQ(2, TvcGetToneAnalyzeResult(2));
  TvcSimSetToneResult(2, 1);
  EXPECT_EQ(1, TvcGetToneAnalyzeResult(2));
  TvcCloseToneAnalyze(2);
  EXPECT_EQ(0, TvcGetToneAnalyzeResult(2));
}

TEST_F(EntryPoints, FrequencyDetectorReportsOnlyWhileRunning) {
  TvcSimSetFreqFlag(2, 1);
  EXPECT_EQ(0, TvcGetSpecFreqDetectFlag(2));
  TvcStartSpecFreqDetector(2, 1700, 100);
  EXPECT_EQ(1700, Info(2).freq_detector_hz);
  EXPECT_EQ(1, TvcGetSpecFreqDetectFlag(2));
  TvcSimSetFreqFlag(2, 0);
  EXPECT_EQ(0, TvcGetSpecFreqDetectFlag(2));
  TvcSimSetFreqFlag(2, 1);
  TvcStopSpecFreqDetector(2);
  EXPECT_EQ(0, TvcGetSpecFreqDetectFlag(2));
}

TEST_F(EntryPoints, FaxReceiveRunsForItsPlanAndStoresTheFile) {
  const std::string source = Path("incoming.tif");
  const std::string target = Path("received.tif");
  simtest::WriteFile(source, std::string("fax page"));
  ASSERT_EQ(TVCSIM_OK, TvcSimSetFaxPlan(5, 3000, 1));
  ASSERT_EQ(TVCSIM_OK, TvcSimSetFaxReceiveSource(5, source.c_str()));
  EXPECT_EQ(0, TvcGetFaxIsEnd(5));
  EXPECT_EQ(0, TvcGetFaxState(5));
  EXPECT_EQ(0, TvcStartRxFax(5, target.c_str()));
  EXPECT_EQ(1, TvcGetFaxState(5));
  EXPECT_EQ(0, TvcGetFaxIsEnd(5));
  TvcSimAdvance(2999);
  EXPECT_EQ(1, TvcGetFaxState(5));
  TvcSimAdvance(1);
  EXPECT_EQ(0, TvcGetFaxState(5));
  EXPECT_EQ(1, TvcGetFaxIsEnd(5));
  const auto got = simtest::ReadFile(target);
  EXPECT_EQ("fax page", std::string(got.begin(), got.end()));
  char path[256];
  TvcSimGetFaxPath(5, path, sizeof path);
  EXPECT_EQ(target, path);
  EXPECT_EQ(TVCSIM_FAX_RECEIVE, Info(5).fax_mode);
  EXPECT_NE(0, TvcStartRxFax(5, ""));
}

TEST_F(EntryPoints, FaxReceiveThatCannotStoreItsFileFails) {
  const std::string source = Path("incoming.tif");
  simtest::WriteFile(source, std::string("fax page"));
  TvcSimSetFaxPlan(5, 10, 1);
  TvcSimSetFaxReceiveSource(5, source.c_str());
  EXPECT_EQ(0, TvcStartRxFax(5, Path("no/such/dir/f.tif").c_str()));
  TvcSimAdvance(10);
  EXPECT_EQ(2, TvcGetFaxIsEnd(5));
}

TEST_F(EntryPoints, FaxSendEndsWithThePlannedStatus) {
  const std::string doc = Path("doc.tif");
  simtest::WriteFile(doc, std::string("page"));
  TvcSimSetFaxPlan(6, 1000, 2);
  EXPECT_EQ(0, TvcStartTxFax(6, doc.c_str()));
  EXPECT_EQ(TVCSIM_FAX_SEND, Info(6).fax_mode);
  EXPECT_EQ(0, TvcGetFaxIsEnd(6));
  TvcSimAdvance(1000);
  EXPECT_EQ(2, TvcGetFaxIsEnd(6));
  EXPECT_EQ(0, TvcGetFaxState(6));
  // Finished early by hand.
  TvcSimSetFaxPlan(6, 100000, 2);
  EXPECT_EQ(0, TvcStartTxFax(6, doc.c_str()));
  EXPECT_EQ(0, TvcGetFaxIsEnd(6));
  EXPECT_EQ(TVCSIM_OK, TvcSimFinishFax(6, 1));
  EXPECT_EQ(1, TvcGetFaxIsEnd(6));
  EXPECT_EQ(TVCSIM_E_STATE, TvcSimFinishFax(6, 1));
  // A file that cannot be read fails at once rather than never ending.
  EXPECT_NE(0, TvcStartTxFax(6, Path("missing.tif").c_str()));
  EXPECT_EQ(0, TvcGetFaxState(6));
  EXPECT_EQ(2, TvcGetFaxIsEnd(6));
  EXPECT_NE(0, TvcStartTxFax(6, nullptr));
  EXPECT_EQ(2, TvcGetFaxIsEnd(6));
}

TEST_F(EntryPoints, ResetRestoresTheDefaults) {
  TvcSimSetChannelTotal(3);
  TvcSimSetChannelType(0, 2);
  TvcSimSetState(0, 4);
  TvcSimSetTimeScale(500);
  TvcSimSetLoadResult(3);
  TvcSimReset();
  TvcDrvInfo info{};
  TvcGetDrvInfo(&info);
  EXPECT_EQ(8, info.channel_total);
  EXPECT_EQ(0, TvcGetChType(0));
  EXPECT_EQ(0, TvcGetChState(0));
  EXPECT_EQ(100, TvcSimGetTimeScale());
  EXPECT_EQ(0, TvcLoadDrvA());
  EXPECT_LT(TvcSimGetBoardTime(), 1000);
}

}  // namespace
