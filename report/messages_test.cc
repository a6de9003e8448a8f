#include "report/messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/capture.h"

namespace {

struct Message {
  const char* name;
  const char* text;
};

const Message kCatalogue[] = {
#define MESSAGE(name, text) {#name, text},
#include "report/messages.def"
#undef MESSAGE
};

TEST(MessagesTest, EachTextStandsOnce) {
  std::set<std::string> texts;
  for (const Message& message : kCatalogue) {
    EXPECT_TRUE(texts.insert(message.text).second) << message.name;
  }
}

// The Japanese texts a document quotes: "…" in Markdown, \[lq]…\[rq] in the
// manual page's roff, a line break and its indent inside a quote read as
// nothing (Japanese has no spaces), and the quotes roff fills with a font
// change left out.
std::vector<std::string> quoted_japanese(const std::string& path) {
  const std::string text = read_file(path);
  std::vector<std::string> quotes;
  static const std::regex kQuote(R"re("([^"]*)"|\\\[lq\]((?:(?!\\\[rq\])[\s\S])*)\\\[rq\])re");
  for (std::sregex_iterator it(text.begin(), text.end(), kQuote), end; it != end; ++it) {
    std::string quote = (*it)[1].matched ? (*it)[1].str() : (*it)[2].str();
    if (quote.find("\\f") != std::string::npos) continue;
    quote = std::regex_replace(quote, std::regex("\n *"), "");
    // A kana or kanji begins with a byte from 0xE3 to 0xE9 in UTF-8.
    const bool japanese = std::any_of(quote.begin(), quote.end(), [](char c) {
      return static_cast<unsigned char>(c) >= 0xE3 && static_cast<unsigned char>(c) <= 0xE9;
    });
    if (japanese) quotes.push_back(quote);
  }
  return quotes;
}

// What the usage text and the documentation quote of the program's words is
// what the program prints: each quote is a message, or part of one (the
// usage text's lines among them), as the catalogue holds it.
TEST(MessagesTest, TheDocumentationQuotesThePrograms) {
  std::vector<std::string> documents = {"README.md", "docs/man/tonewell.1.in"};
  for (const auto& entry : std::filesystem::directory_iterator(TONEWELL_SOURCE_DIR "/docs")) {
    if (entry.path().extension() == ".md")
      documents.push_back("docs/" + entry.path().filename().string());
  }
  size_t checked = 0;
  for (const std::string& document : documents) {
    for (const std::string& quote : quoted_japanese(TONEWELL_SOURCE_DIR "/" + document)) {
      const bool found = std::any_of(
          std::begin(kCatalogue), std::end(kCatalogue), [&quote](const Message& message) {
            return std::string(message.text).find(quote) != std::string::npos;
          });
      EXPECT_TRUE(found) << document << " quotes \"" << quote
                         << "\", which the program never prints";
      ++checked;
    }
  }
  EXPECT_GT(checked, 30u);  // the documents quote the messages they explain
}

}  // namespace
