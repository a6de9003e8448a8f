// The program as the Windows builds hold it: every text compiled to
// Shift_JIS (code page 932). The bytes here are written out by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cli/main.h"
#include "report/console_text.h"
#include "tests/support/capture.h"

namespace {

ProgramRun run(std::vector<std::string> args) { return run_in_process(tonewell_main, args); }

TEST(ShiftJisTest, UsageText) {
  ProgramRun r = run({});
  EXPECT_EQ(r.status, 0);
  const std::string& usage = r.out;
  // "    -h --help          ヘルプメッセージを表示\n": 表 is 0x95 0x5C, a
  // backslash as its second byte, which must come through unchanged.
  EXPECT_NE(usage.find("    -h --help          "
                       "\x83\x77\x83\x8B\x83\x76\x83\x81\x83\x62\x83\x5A\x81\x5B\x83\x57"
                       "\x82\xF0\x95\x5C\x8E\xA6\n"),
            std::string::npos);
  // "  入力ファイル    AVSファイル\n"
  EXPECT_NE(usage.find("  \x93\xFC\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B    AVS"
                       "\x83\x74\x83\x40\x83\x43\x83\x8B\n"),
            std::string::npos);
  // "    -s --stream-number 0開始で出力するストリーム番号を指定す デフォルトは0\n"
  EXPECT_NE(usage.find("    -s --stream-number 0\x8A\x4A\x8E\x6E\x82\xC5\x8F\x6F\x97\xCD\x82\xB7"
                       "\x82\xE9\x83\x58\x83\x67\x83\x8A\x81\x5B\x83\x80\x94\xD4\x8D\x86\x82\xF0"
                       "\x8E\x77\x92\xE8\x82\xB7 \x83\x66\x83\x74\x83\x48\x83\x8B\x83\x67\x82\xCD"
                       "0\n"),
            std::string::npos);
  // "    -e --extensible    3ch以上か16bit超のPCMと浮動小数点を拡張フォーマットで出力\n"
  EXPECT_NE(usage.find("    -e --extensible    3ch\x88\xC8\x8F\xE3\x82\xA9"
                       "16bit\x92\xB4\x82\xCCPCM\x82\xC6\x95\x82\x93\xAE\x8F\xAC\x90\x94"
                       "\x93\x5F\x82\xF0\x8A\x67\x92\xA3\x83\x74\x83\x48\x81\x5B\x83\x7D"
                       "\x83\x62\x83\x67\x82\xC5\x8F\x6F\x97\xCD\n"),
            std::string::npos);
  // None of its texts in UTF-8, as this file spells them.
  EXPECT_EQ(usage.find("ファイル"), std::string::npos);
  EXPECT_EQ(usage.find("オプション"), std::string::npos);
  EXPECT_EQ(usage.size(), 713u + strlen(TONEWELL_VERSION));
}

TEST(ShiftJisTest, CommandLineMessages) {
  // "入力ファイルを指定してください。\n"
  ProgramRun r = run({"-v"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "\x93\xFC\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xF0\x8E\x77\x92\xE8\x82\xB5"
            "\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81\x42\n");
  // "-x オプションは使用できません。\n"
  r = run({"-x"});
  EXPECT_EQ(r.err,
            "-x \x83\x49\x83\x76\x83\x56\x83\x87\x83\x93\x82\xCD\x8E\x67\x97\x70\x82\xC5"
            "\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x81\x42\n");
}

std::wstring console_text_of(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring text = console_text(format, args);
  va_end(args);
  return text;
}

// A console gets text: the literal read as Shift_JIS (表 ends in 0x5C, a
// backslash byte), each %s argument in the system code page (the Linux layer's
// UTF-8), numbers as printf writes them.
TEST(ShiftJisTest, ConsoleTextPieceByPiece) {
  EXPECT_EQ(
      console_text_of("\x95\x5C\x8E\xA6: %s (%d%%) %u %lld\n", "音声_한국어", -5, 7u, -(1LL << 40)),
      L"表示: 音声_한국어 (-5%) 7 -1099511627776\n");
  EXPECT_EQ(console_text_of("%s", "a\\b"), L"a\\b");
  EXPECT_EQ(console_text_of("\x83\x74\x83\x40\x83\x43\x83\x8B"), L"ファイル");
  EXPECT_EQ(console_text_of(""), L"");
}

}  // namespace
