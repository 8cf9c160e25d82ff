#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/nvCTokenizer.h"

namespace {

std::vector<std::string> Drain(nvCTokenizer& tokenizer) {
  std::vector<std::string> tokens;
  while (tokenizer.HasMore()) {
    const char* token = tokenizer.Next();
    if (token == nullptr) break;  // HasMore and Next disagree: the comparison below shows it
    tokens.emplace_back(token);
  }
  return tokens;
}

using Tokens = std::vector<std::string>;

TEST(nvCTokenizerTest, EmptyRunsBetweenSeparatorsGiveNoTokens) {
  nvCTokenizer tokenizer;
  tokenizer.Split(",,a,,bc,", ',');
  EXPECT_EQ(Drain(tokenizer), (Tokens{"a", "bc"}));
  EXPECT_FALSE(tokenizer.HasMore());
  EXPECT_EQ(tokenizer.Next(), nullptr);
  EXPECT_EQ(tokenizer.Next(), nullptr);
}

TEST(nvCTokenizerTest, SplitsOnTheGivenSeparatorOnly) {
  nvCTokenizer tokenizer;
  tokenizer.Split("http://a/x.zip\nhttp://b/y.7z", '\n');
  EXPECT_EQ(Drain(tokenizer), (Tokens{"http://a/x.zip", "http://b/y.7z"}));

  tokenizer.Split("no separator here", ',');
  EXPECT_EQ(Drain(tokenizer), (Tokens{"no separator here"}));
}

TEST(nvCTokenizerTest, NothingToSplitGivesNoTokens) {
  nvCTokenizer tokenizer;
  for (const char* text : {static_cast<const char*>(nullptr), "", ",", ",,,"}) {
    tokenizer.Split(text, ',');
    EXPECT_FALSE(tokenizer.HasMore()) << (text != nullptr ? text : "(null)");
    EXPECT_EQ(tokenizer.Next(), nullptr);
  }
}

TEST(nvCTokenizerTest, SplitAgainReplacesTheTokensAndRestarts) {
  nvCTokenizer tokenizer;
  tokenizer.Split("a,b,c", ',');
  EXPECT_STREQ(tokenizer.Next(), "a");
  tokenizer.Split("x;y", ';');
  EXPECT_EQ(Drain(tokenizer), (Tokens{"x", "y"}));
  tokenizer.Split("", ';');
  EXPECT_FALSE(tokenizer.HasMore());
}

TEST(nvCTokenizerTest, TokensAreCopiesOfTheText) {
  char text[] = "ab,cd";
  nvCTokenizer tokenizer;
  tokenizer.Split(text, ',');
  text[0] = 'X';
  text[3] = 'Y';
  EXPECT_EQ(Drain(tokenizer), (Tokens{"ab", "cd"}));
}

}  // namespace
