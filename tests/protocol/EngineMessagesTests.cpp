// The engine message layouts: byte vectors written from the wire tables, round trips of every
// message, and payloads that are cut or lie about their counts.
#include "protocol/EngineMessages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace engineproto;

std::string Le32(uint32_t value) {
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return out;
}

std::string Le64(uint64_t value) {
  return Le32(static_cast<uint32_t>(value)) + Le32(static_cast<uint32_t>(value >> 32));
}

std::string Padded(const std::string& text, size_t width) {
  return text + std::string(width - text.size(), '\0');
}

FileRecord SampleFile(const std::string& url) {
  FileRecord file;
  file.jobSeq = 5;
  file.fileIndex = 2;
  file.optionA = 1;
  file.optionB = 0x7F;
  file.size = 0x0102030405060708LL;
  file.folder = "/games/orba/";
  file.fileName = "data.pak";
  file.url = url;
  return file;
}

const std::string kUrl30 = "http://h.test/dir/abcdefgh.pak";  // 30 characters

TEST(EngineMessagesTest, LibraryMessagesHaveTheTablesSizesAndBytes) {
  ASSERT_EQ(30u, kUrl30.size());
  // Type 0: the mode and 16 zero bytes.
  EXPECT_EQ(std::string("\x02") + std::string(16, '\0'), *EncodePayload(JobMode{2}));
  // Type 3 starts with jobSeq, type 18 with engineJobId.
  EXPECT_EQ(Le32(7) + Le32(0xFFFFFFFF), *EncodePayload(StopJob{7, -1}));
  EXPECT_EQ(Le32(9) + Le32(7) + std::string("\x01\x00", 2), *EncodePayload(ResumeAnswer{9, 7, 1, 0}));
  EXPECT_EQ(Le32(7) + Le32(9) + "\x01", *EncodePayload(JobFlag{7, 9, 1}));
  EXPECT_EQ(Padded("abc", 20), *EncodePayload(EngineTag{"abc"}));
  EXPECT_EQ("", *EncodePayload(ModeRequest{}));

  // Type 14 with one file whose URL has 30 characters: 41 + 531 + 30 bytes.
  JobFiles files{5, "SVC", {SampleFile(kUrl30)}};
  std::string list = *EncodePayload(files);
  ASSERT_EQ(602u, list.size());
  EXPECT_EQ(Le32(5) + Le32(1) + Padded("SVC", 33) + "\x01\x7F" + Le64(0x0102030405060708ULL) +
                Padded("/games/orba/", 260) + Padded("data.pak", 260) + kUrl30 + std::string(1, '\0'),
            list);
  EXPECT_EQ(kGroupFileList, GroupOf<JobFiles>());
  EXPECT_EQ(kGroupControl, GroupOf<JobFile>());

  // Type 20 with the same file: 540 + 30 bytes, the URL behind its 16-bit length and without NUL.
  std::string one = *EncodePayload(JobFile{SampleFile(kUrl30)});
  ASSERT_EQ(570u, one.size());
  EXPECT_EQ(Le32(5) + Le32(2) + "\x01\x7F" + Le64(0x0102030405060708ULL) + Padded("/games/orba/", 260) +
                Padded("data.pak", 260) + "\x1E" + std::string(1, '\0') + kUrl30,
            one);
}

TEST(EngineMessagesTest, FixedFieldsAreCutToKeepTheirNul) {
  std::string code = *EncodePayload(ServiceCode{std::string(300, 'c')});
  ASSERT_EQ(260u, code.size());
  EXPECT_EQ(std::string(259, 'c') + '\0', code);
  ServiceCode back;
  ASSERT_TRUE(DecodePayload(code, &back));
  EXPECT_EQ(std::string(259, 'c'), back.code);

  JobBegin begin{3, 10, std::string(40, 's')};
  JobBegin beginBack;
  ASSERT_TRUE(DecodePayload(*EncodePayload(begin), &beginBack));
  EXPECT_EQ(std::string(32, 's'), beginBack.serviceCode);
  EXPECT_EQ(10, beginBack.fileCount);
}

TEST(EngineMessagesTest, AUrlBeyondSixteenBitsCannotBeSentAsOneFile) {
  EXPECT_FALSE(EncodePayload(JobFile{SampleFile(std::string(65536, 'u'))}).has_value());
  EXPECT_TRUE(EncodePayload(JobFile{SampleFile(std::string(65535, 'u'))}).has_value());
}

// A progress message laid out by hand at the table's offsets.
std::string ProgressBytes(int32_t entryCount, const std::vector<std::string>& entryTexts) {
  std::string bytes(64, '\0');
  auto put32 = [&](size_t at, uint32_t value) { bytes.replace(at, 4, Le32(value)); };
  auto put64 = [&](size_t at, uint64_t value) { bytes.replace(at, 8, Le64(value)); };
  put32(0, 11);
  put32(4, 22);
  put32(8, 0xDEAD);  // not read
  put32(12, 3);
  put32(16, 1);
  put64(20, 3000);
  put64(28, 1500);
  put32(36, 250);
  put64(44, 6);
  put32(60, static_cast<uint32_t>(entryCount));
  for (size_t i = 0; i < entryTexts.size(); ++i) {
    std::string entry(65, '\x5A');  // the unread bytes are not zero: they must be skipped, not read
    entry.replace(33, 8, Le64(1000 + i));
    entry.replace(41, 8, Le64(500 + i));
    entry.replace(49, 4, Le32(static_cast<uint32_t>(100 + i)));
    bytes += entry + entryTexts[i] + '\0';
  }
  return bytes;
}

TEST(EngineMessagesTest, ProgressIsReadAtTheTablesOffsetsWithAndWithoutEntries) {
  JobProgress progress;
  ASSERT_TRUE(DecodePayload(ProgressBytes(0, {}), &progress));
  EXPECT_EQ(11, progress.jobSeq);
  EXPECT_EQ(22, progress.engineJobId);
  EXPECT_EQ(3, progress.fileCount);
  EXPECT_EQ(1, progress.filesDone);
  EXPECT_EQ(3000, progress.totalBytes);
  EXPECT_EQ(1500, progress.doneBytes);
  EXPECT_EQ(250, progress.bytesPerSecond);
  EXPECT_EQ(6, progress.elapsedSeconds);
  EXPECT_TRUE(progress.entries.empty());

  std::string two = ProgressBytes(2, {"first.pak", ""});
  ASSERT_EQ(64u + 65 + 10 + 65 + 1, two.size());
  ASSERT_TRUE(DecodePayload(two + std::string(6, '\0'), &progress));  // padding after the last entry
  ASSERT_EQ(2u, progress.entries.size());
  EXPECT_EQ(1000, progress.entries[0].fileSize);
  EXPECT_EQ(500, progress.entries[0].fileDone);
  EXPECT_EQ(100, progress.entries[0].fileBytesPerSecond);
  EXPECT_EQ("first.pak", progress.entries[0].text);
  EXPECT_EQ(1001, progress.entries[1].fileSize);

  // What the engine writes is what a reader at those offsets finds.
  JobProgress back;
  ASSERT_TRUE(DecodePayload(*EncodePayload(progress), &back));
  EXPECT_EQ(progress.doneBytes, back.doneBytes);
  EXPECT_EQ(progress.elapsedSeconds, back.elapsedSeconds);
  ASSERT_EQ(2u, back.entries.size());
  EXPECT_EQ(501, back.entries[1].fileDone);
}

TEST(EngineMessagesTest, ProgressWhoseCountsDoNotFitIsRefused) {
  JobProgress progress;
  EXPECT_FALSE(DecodePayload(ProgressBytes(3, {"a", "b"}), &progress)) << "one entry short";
  EXPECT_FALSE(DecodePayload(ProgressBytes(0x7FFFFFFF, {"a"}), &progress))
      << "a count far beyond the payload";
  EXPECT_FALSE(DecodePayload(ProgressBytes(-1, {}), &progress)) << "a negative count";
  std::string noNul = ProgressBytes(1, {"abc"});
  noNul.pop_back();
  EXPECT_FALSE(DecodePayload(noNul, &progress)) << "an entry text without its NUL";
}

// Every message's payload, encoded from a sample, decodes back to the same fields; and every
// prefix of it that cuts a field the reader needs is refused.
struct Case {
  const char* name;
  std::string payload;
  std::function<bool(std::string_view)> decodesSame;
  size_t neededBytes;  // the shortest prefix a reader accepts
};

template <typename Message>
Case MakeCase(const char* name, const Message& sample,
              std::function<bool(const Message&, const Message&)> same, size_t neededBytes) {
  std::string payload = *EncodePayload(sample);
  return {name, payload,
          [sample, same](std::string_view bytes) {
            Message back;
            return DecodePayload(bytes, &back) && same(sample, back);
          },
          neededBytes};
}

bool SameFile(const FileRecord& a, const FileRecord& b) {
  return a.optionA == b.optionA && a.optionB == b.optionB && a.size == b.size && a.folder == b.folder &&
         a.fileName == b.fileName && a.url == b.url;
}

std::vector<Case> Cases() {
  std::vector<Case> cases;
  cases.push_back(MakeCase<JobMode>(
      "job mode", {2}, [](auto& a, auto& b) { return a.mode == b.mode; }, 1));
  cases.push_back(MakeCase<StopJob>(
      "stop", {7, 9}, [](auto& a, auto& b) { return a.jobSeq == b.jobSeq && a.engineJobId == b.engineJobId; },
      8));
  cases.push_back(MakeCase<ResumeAnswer>(
      "resume answer", {9, 7, 1, 1},
      [](auto& a, auto& b) {
        return a.engineJobId == b.engineJobId && a.jobSeq == b.jobSeq && a.resume == b.resume &&
               a.applyToAll == b.applyToAll;
      },
      10));
  cases.push_back(MakeCase<JobFiles>(
      "job files", {5, "SVC", {SampleFile(kUrl30), SampleFile("http://b|http://c")}},
      [](auto& a, auto& b) {
        return a.jobSeq == b.jobSeq && a.serviceCode == b.serviceCode && b.files.size() == 2 &&
               SameFile(a.files[0], b.files[0]) && SameFile(a.files[1], b.files[1]) &&
               b.files[1].fileIndex == 1;
      },
      41 + 561 + 531 + 17));
  cases.push_back(MakeCase<JobFile>(
      "job file", {SampleFile(kUrl30)},
      [](auto& a, auto& b) {
        return SameFile(a.file, b.file) && b.file.fileIndex == 2 && b.file.jobSeq == 5;
      },
      570));
  cases.push_back(MakeCase<JobAccepted>(
      "accepted", {1, 2, 3, -1},
      [](auto& a, auto& b) {
        return a.jobSeq == b.jobSeq && a.engineJobId == b.engineJobId && a.fileCount == b.fileCount &&
               a.totalBytes == b.totalBytes;
      },
      20));
  cases.push_back(MakeCase<JobFinished>(
      "finished", {1, 2, 3, 4},
      [](auto& a, auto& b) {
        return a.filesDone == b.filesDone && a.result == b.result && a.jobSeq == b.jobSeq;
      },
      20));
  cases.push_back(MakeCase<FileDone>(
      "file done", {1, 2, "/games/orba/a.pak", kUrl30},
      [](auto& a, auto& b) {
        return a.localPath == b.localPath && a.source == b.source && a.engineJobId == b.engineJobId;
      },
      4 + 4 + 33 + 260 + 31));
  cases.push_back(MakeCase<FileDoneEx>(
      "file done with text", {1, 2, "/games/orba/a.pak", "note", kUrl30},
      [](auto& a, auto& b) { return a.localPath == b.localPath && a.text == b.text && a.source == b.source; },
      4 + 4 + 33 + 260 + 260 + 31));
  cases.push_back(MakeCase<JobWarning>(
      "warning", {1, 2, 1, "disk full"},
      [](auto& a, auto& b) { return a.code == b.code && a.text == b.text; }, 4 + 4 + 1 + 10));
  cases.push_back(MakeCase<JobFailed>(
      "failed", {1, "no mirror answered"},
      [](auto& a, auto& b) { return a.jobSeq == b.jobSeq && a.reason == b.reason; }, 4 + 4 + 19));
  cases.push_back(MakeCase<ResumeQuery>(
      "resume query", {4}, [](auto& a, auto& b) { return a.jobSeq == b.jobSeq; }, 4));
  cases.push_back(MakeCase<EngineMode>(
      "engine mode", {2}, [](auto& a, auto& b) { return a.mode == b.mode; }, 4));
  return cases;
}

TEST(EngineMessagesTest, EveryMessageRoundTripsAndACutPayloadIsRefused) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    ASSERT_GE(c.payload.size(), c.neededBytes);
    EXPECT_TRUE(c.decodesSame(c.payload));
    EXPECT_TRUE(c.decodesSame(c.payload.substr(0, c.neededBytes)));
    for (size_t cut = 0; cut < c.neededBytes; ++cut)
      EXPECT_FALSE(c.decodesSame(c.payload.substr(0, cut))) << cut;
  }
}

TEST(EngineMessagesTest, AFileListWhoseCountDoesNotFitIsRefused) {
  std::string list = *EncodePayload(JobFiles{5, "SVC", {SampleFile(kUrl30)}});
  JobFiles back;
  for (uint32_t count : {2u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    std::string lying = list;
    lying.replace(4, 4, Le32(count));
    EXPECT_FALSE(DecodePayload(lying, &back)) << count;
  }
}

}  // namespace
