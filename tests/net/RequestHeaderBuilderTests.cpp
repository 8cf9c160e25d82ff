#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "net/nwCHttpRequestHeaderBuilder.h"
#include "tests/support/ScopedEnvironment.h"

namespace {

constexpr char kSite[] = "http://site.test/";
constexpr char kHyphens[] = "---------------------------";

// Pins the Referer default, whatever the machine's config file says.
class nwCHttpRequestHeaderBuilderTest : public ::testing::Test {
 protected:
  testsupport::ScopedEnvironment referer_{"ORBA_REFERER", std::string(kSite)};
};

std::string Request(nwCHttpRequestHeaderBuilder& builder) {
  nvCString out;
  EXPECT_EQ(builder.BuildRequest(&out), NW_S_OK);
  return std::string(out.GetBuffer(), out.GetLength());
}

std::string Trailer(nwCHttpRequestHeaderBuilder& builder) {
  nvCString out("stale");
  EXPECT_EQ(builder.BuildTrailer(&out), NW_S_OK);
  return std::string(out.GetBuffer(), out.GetLength());
}

std::string Target(const char* path) {
  nwCHttpGETHeaderBuilder builder;
  if (path != nullptr) builder.SetHeader("GET", path);
  return builder.BuildTarget();
}

TEST_F(nwCHttpRequestHeaderBuilderTest, GetWithDefaults) {
  nwCHttpGETHeaderBuilder builder;
  builder.SetHeader("Host", "cdn.test");
  builder.SetHeader("GET", "/files/setup.bin");
  EXPECT_EQ(Request(builder),
            "GET /files/setup.bin HTTP/1.1\r\n"
            "Accept: */*\r\n"
            "Referer: http://site.test/\r\n"
            "Accept-Language: ko\r\n"
            "User-Agent: OskelClient\r\n"
            "Host: cdn.test\r\n"
            "Connection: Keep-Alive\r\n"
            "\r\n");
}

TEST_F(nwCHttpRequestHeaderBuilderTest, UrlWithSpaceAndQueryPairWithoutEquals) {
  // What the layer hands over for HTTPS://Host:8443/a b/c?x=1&y.
  nwCHttpGETHeaderBuilder builder;
  builder.SetHeader("Host", "Host");
  builder.SetHeader("GET", "/a b/c?x=1&y");
  EXPECT_EQ(Request(builder),
            "GET /a%20b/c?x=1 HTTP/1.1\r\n"
            "Accept: */*\r\n"
            "Referer: http://site.test/\r\n"
            "Accept-Language: ko\r\n"
            "User-Agent: OskelClient\r\n"
            "Host: Host\r\n"
            "Connection: Keep-Alive\r\n"
            "\r\n");
  ASSERT_EQ(builder.Params().size(), 1u);
  EXPECT_STREQ(builder.Headers()[1].value.GetBuffer(), "/a b/c");
}

TEST_F(nwCHttpRequestHeaderBuilderTest, RangeInItsRowOtherHeadersEncodedCookieVerbatim) {
  nwCHttpGETHeaderBuilder builder;
  builder.SetHeader("Host", "cdn.test");
  builder.SetHeader("X-Note", "a b");
  builder.SetHeader("Range", "bytes=100-199, 300-");
  builder.SetHeader("Cookie", "id=7; name=a b");
  builder.SetHeader("GET", "/f");
  EXPECT_EQ(Request(builder),
            "GET /f HTTP/1.1\r\n"
            "Accept: */*\r\n"
            "Referer: http://site.test/\r\n"
            "Accept-Language: ko\r\n"
            "User-Agent: OskelClient\r\n"
            "Range: bytes=100-199, 300-\r\n"
            "Host: cdn.test\r\n"
            "Connection: Keep-Alive\r\n"
            "X-Note: a%20b\r\n"
            "Cookie: id=7; name=a b\r\n"
            "\r\n");
}

TEST_F(nwCHttpRequestHeaderBuilderTest, OnlyTheExactNameCookieStaysUnencoded) {
  nwCHttpGETHeaderBuilder builder;
  builder.SetHeader("GET", "/");
  builder.SetHeader("cookie", "a b");
  EXPECT_EQ(Request(builder),
            "GET / HTTP/1.1\r\n"
            "Accept: */*\r\n"
            "Referer: http://site.test/\r\n"
            "Accept-Language: ko\r\n"
            "User-Agent: OskelClient\r\n"
            "Connection: Keep-Alive\r\n"
            "cookie: a%20b\r\n"
            "\r\n");
}

TEST_F(nwCHttpRequestHeaderBuilderTest, CallerValuesReplaceDefaultsUnencodedWhateverTheCase) {
  nwCHttpGETHeaderBuilder builder;
  builder.SetHeader("connection", "close");
  builder.SetHeader("user-agent", "My Agent/1.0");
  builder.SetHeader("ACCEPT", "text/html, */*");
  builder.SetHeader("referer", "http://other.test/a b");
  builder.SetHeader("Accept-Language", "en");
  builder.SetHeader("HOST", "h.test:8080");
  builder.SetHeader("GET", "/x");
  EXPECT_EQ(Request(builder),
            "GET /x HTTP/1.1\r\n"
            "Accept: text/html, */*\r\n"
            "Referer: http://other.test/a b\r\n"
            "Accept-Language: en\r\n"
            "User-Agent: My Agent/1.0\r\n"
            "Host: h.test:8080\r\n"
            "Connection: close\r\n"
            "\r\n");
}

TEST_F(nwCHttpRequestHeaderBuilderTest, LineBreaksInUnencodedValuesNeverReachTheWire) {
  nwCHttpGETHeaderBuilder builder;
  builder.SetHeader("Host", "cdn.test\r\nX-Evil: 1");
  builder.SetHeader("Cookie", "a=1\r\n\r\nbody");
  builder.SetHeader("X-Note", "a\r\nb");
  EXPECT_EQ(Request(builder),
            "GET / HTTP/1.1\r\n"
            "Accept: */*\r\n"
            "Referer: http://site.test/\r\n"
            "Accept-Language: ko\r\n"
            "User-Agent: OskelClient\r\n"
            "Host: cdn.testX-Evil: 1\r\n"
            "Connection: Keep-Alive\r\n"
            "Cookie: a=1body\r\n"
            "X-Note: a%0D%0Ab\r\n"
            "\r\n");
}

TEST_F(nwCHttpRequestHeaderBuilderTest, RowsWithoutValueOrDefaultAreLeftOut) {
  nwCHttpGETHeaderBuilder builder;
  EXPECT_EQ(Request(builder),
            "GET / HTTP/1.1\r\n"
            "Accept: */*\r\n"
            "Referer: http://site.test/\r\n"
            "Accept-Language: ko\r\n"
            "User-Agent: OskelClient\r\n"
            "Connection: Keep-Alive\r\n"
            "\r\n");
}

TEST(nwCHttpRequestHeaderBuilderRefererTest, EmptyRefererSettingLeavesTheRowOut) {
  testsupport::ScopedEnvironment referer("ORBA_REFERER", std::string());
  nwCHttpGETHeaderBuilder builder;
  builder.SetHeader("GET", "/f");
  EXPECT_EQ(Request(builder),
            "GET /f HTTP/1.1\r\n"
            "Accept: */*\r\n"
            "Accept-Language: ko\r\n"
            "User-Agent: OskelClient\r\n"
            "Connection: Keep-Alive\r\n"
            "\r\n");
}

TEST(nwCHttpRequestHeaderBuilderRefererTest, RefererFollowsTheSetting) {
  testsupport::ScopedEnvironment referer("ORBA_REFERER", std::string("http://www.example.test/home"));
  nwCHttpGETHeaderBuilder builder;
  const std::string request = Request(builder);
  EXPECT_NE(request.find("\r\nReferer: http://www.example.test/home\r\n"), std::string::npos) << request;
}

TEST_F(nwCHttpRequestHeaderBuilderTest, TargetEncodingRules) {
  const struct {
    const char* path;  // null: no target header at all
    const char* target;
  } cases[] = {
      {"/a//b/", "/a/b"},
      {"a/b", "/a/b"},
      {"//", "/"},
      {"", "/"},
      {nullptr, "/"},
      {"/~user/\xEA\xB2\x8C.zip", "/%7Euser/%EA%B2%8C.zip"},
      {"/p?q=a b/c&e=&&=v&k=1=2", "/p?q=a%20b%2Fc&e=&=v&k=1%3D2"},
      // A URL that is already encoded goes out as it was written, escapes of either case kept.
      {"/a%20b", "/a%20b"},
      {"/dir%2Fx/a%2Db.pak", "/dir%2Fx/a%2Db.pak"},
      {"/%e4%B8%AD.bin", "/%e4%B8%AD.bin"},
      {"/a%20b c", "/a%20b%20c"},
      {"/f?name=a%20b&x%3D=%41", "/f?name=a%20b&x%3D=%41"},
      // A '%' that starts no escape is a byte of the name.
      {"/100%.bin", "/100%25.bin"},
      {"/a%zz/b%4", "/a%25zz/b%254"},
      {"/f?p=50%", "/f?p=50%25"},
  };
  for (const auto& item : cases)
    EXPECT_EQ(Target(item.path), item.target) << (item.path ? item.path : "(none)");
}

TEST_F(nwCHttpRequestHeaderBuilderTest, PostHeaderCarriesTheTargetWhenThereIsNoGet) {
  nwCHttpGETHeaderBuilder builder;
  builder.SetHeader("POST", "/up?a=1");
  EXPECT_EQ(builder.BuildTarget(), "/up?a=1");
  builder.SetHeader("GET", "/down");
  EXPECT_EQ(builder.BuildTarget(), "/down?a=1");
}

TEST_F(nwCHttpRequestHeaderBuilderTest, LaterParameterOverridesTheUrlOneWithoutCase) {
  nwCHttpGETHeaderBuilder builder;
  builder.SetHeader("GET", "/p?Name=1&b=2");
  EXPECT_EQ(builder.SetParam("name", "3 4"), NW_S_OK);
  EXPECT_EQ(builder.SetParam("c", "5"), NW_S_OK);
  EXPECT_EQ(builder.BuildTarget(), "/p?Name=3%204&b=2&c=5");
}

TEST_F(nwCHttpRequestHeaderBuilderTest, AQueryInALaterTargetReplacesParametersOfTheSameName) {
  nwCHttpGETHeaderBuilder builder;
  builder.SetParam("a", "1");
  builder.SetHeader("GET", "/old?b=2");
  builder.SetHeader("get", "/new?A=9");
  EXPECT_EQ(builder.BuildTarget(), "/new?a=9&b=2");
  EXPECT_EQ(builder.Headers().size(), 1u);
}

TEST_F(nwCHttpRequestHeaderBuilderTest, HeaderOfAMatchingNameReplacesTheValueInPlace) {
  nwCHttpGETHeaderBuilder builder;
  builder.SetHeader("X-A", "1");
  builder.SetHeader("X-B", "2");
  builder.SetHeader("x-a", "3");
  ASSERT_EQ(builder.Headers().size(), 2u);
  EXPECT_STREQ(builder.Headers()[0].name.GetBuffer(), "X-A");
  EXPECT_STREQ(builder.Headers()[0].value.GetBuffer(), "3");
  EXPECT_EQ(Request(builder),
            "GET / HTTP/1.1\r\n"
            "Accept: */*\r\n"
            "Referer: http://site.test/\r\n"
            "Accept-Language: ko\r\n"
            "User-Agent: OskelClient\r\n"
            "Connection: Keep-Alive\r\n"
            "X-A: 3\r\n"
            "X-B: 2\r\n"
            "\r\n");
}

TEST_F(nwCHttpRequestHeaderBuilderTest, BadNamesAreRefused) {
  nwCHttpGETHeaderBuilder builder;
  EXPECT_EQ(builder.SetHeader(nullptr, "v"), NW_E_FAIL);
  EXPECT_EQ(builder.SetHeader("", "v"), NW_E_FAIL);
  EXPECT_EQ(builder.SetParam(nullptr, "v"), NW_E_FAIL);
  EXPECT_EQ(builder.SetParam("", "v"), NW_E_FAIL);
  EXPECT_TRUE(builder.Headers().empty());
  EXPECT_TRUE(builder.Params().empty());
  EXPECT_EQ(builder.BuildRequest(nullptr), NW_E_FAIL);
  EXPECT_EQ(builder.BuildTrailer(nullptr), NW_E_FAIL);
}

TEST_F(nwCHttpRequestHeaderBuilderTest, BuildingTwiceGivesTheSameText) {
  nwCHttpGETHeaderBuilder builder;
  builder.SetHeader("GET", "/f?x=1");
  builder.SetHeader("X-Note", "a b");
  builder.SetHeader("Range", "bytes=0-");
  const std::string first = Request(builder);
  EXPECT_EQ(Request(builder), first);
}

TEST_F(nwCHttpRequestHeaderBuilderTest, GetHasNoTrailer) {
  nwCHttpGETHeaderBuilder builder;
  EXPECT_EQ(Trailer(builder), "");
}

std::string Boundary(const nwCHttpPOSTHeaderBuilder& builder) {
  return std::string(builder.Boundary().GetBuffer(), builder.Boundary().GetLength());
}

TEST_F(nwCHttpRequestHeaderBuilderTest, PostBoundaryIsDrawnOncePerProcessAndNotFromRand) {
  // What a boundary made of two rand() values after this seed would be, in either order.
  std::srand(12345);
  const auto first = static_cast<unsigned>(std::rand());
  const auto second = static_cast<unsigned>(std::rand());
  char oneOrder[17];
  char otherOrder[17];
  std::snprintf(oneOrder, sizeof oneOrder, "%08X%08X", second, first);
  std::snprintf(otherOrder, sizeof otherOrder, "%08X%08X", first, second);
  std::srand(12345);
  nwCHttpPOSTHeaderBuilder builder;
  nwCHttpPOSTHeaderBuilder another;
  EXPECT_NE(Boundary(builder), std::string(kHyphens) + oneOrder);
  EXPECT_NE(Boundary(builder), std::string(kHyphens) + otherOrder);
  EXPECT_EQ(Boundary(another), Boundary(builder));
}

TEST_F(nwCHttpRequestHeaderBuilderTest, PostBoundaryIsHyphensAndSixteenUppercaseHexDigits) {
  nwCHttpPOSTHeaderBuilder builder;
  const std::string boundary = Boundary(builder);
  ASSERT_EQ(boundary.size(), 43u);
  EXPECT_EQ(boundary.substr(0, 27), std::string(27, '-'));
  for (char c : boundary.substr(27)) {
    EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << boundary;
  }
}

TEST_F(nwCHttpRequestHeaderBuilderTest, EmptyPostHasNoContentLengthAndEndsWithTheBareBoundary) {
  nwCHttpPOSTHeaderBuilder builder;
  const std::string boundary = Boundary(builder);
  builder.SetHeader("Host", "up.test");
  builder.SetHeader("POST", "/report/upload.php");
  builder.SetContentLength(0);
  EXPECT_EQ(Request(builder),
            "POST /report/upload.php HTTP/1.1\r\n"
            "Accept: */*\r\n"
            "Referer: http://site.test/\r\n"
            "Accept-Language: ko\r\n"
            "Content-Type: multipart/form-data; boundary=" +
                boundary +
                "\r\n"
                "User-Agent: OskelClient\r\n"
                "Host: up.test\r\n"
                "Connection: Keep-Alive\r\n"
                "\r\n"
                "--" +
                boundary +
                "\r\n"
                "\r\n");
}

TEST_F(nwCHttpRequestHeaderBuilderTest, PostWithBodyAnnouncesItsExactLength) {
  nwCHttpPOSTHeaderBuilder builder;
  const std::string boundary = Boundary(builder);
  builder.SetHeader("POST", "/up?id=3");
  builder.SetHeader("Host", "up.test");
  builder.SetHeader("X-Job", "a b");
  builder.SetContentLength(5);
  const std::string request = Request(builder);
  EXPECT_EQ(request,
            "POST /up?id=3 HTTP/1.1\r\n"
            "Accept: */*\r\n"
            "Referer: http://site.test/\r\n"
            "Accept-Language: ko\r\n"
            "Content-Type: multipart/form-data; boundary=" +
                boundary +
                "\r\n"
                "User-Agent: OskelClient\r\n"
                "Host: up.test\r\n"
                "Content-Length: 213\r\n"
                "Connection: Keep-Alive\r\n"
                "X-Job: a%20b\r\n"
                "\r\n"
                "--" +
                boundary +
                "\r\n"
                "Content-Disposition: form-data; name=attach_file; filename=unknown\r\n"
                "Content-Type: application/octet-stream\r\n"
                "\r\n");

  const std::string trailer = Trailer(builder);
  EXPECT_EQ(trailer, "\r\n--" + boundary + "--\r\n");
  const std::size_t headEnd = request.find("\r\n\r\n") + 4;
  const std::string body = request.substr(headEnd) + "hello" + trailer;
  EXPECT_EQ(body.size(), 213u);
}

TEST_F(nwCHttpRequestHeaderBuilderTest, PostContentLengthGrowsWithTheBody) {
  nwCHttpPOSTHeaderBuilder builder;
  builder.SetContentLength(int64_t{5'000'000'000});
  const std::string request = Request(builder);
  EXPECT_NE(request.find("\r\nContent-Length: 5000000208\r\n"), std::string::npos) << request;
}

TEST_F(nwCHttpRequestHeaderBuilderTest, PostNegativeLengthCountsAsEmpty) {
  nwCHttpPOSTHeaderBuilder builder;
  builder.SetContentLength(-1);
  const std::string request = Request(builder);
  EXPECT_EQ(request.find("Content-Length"), std::string::npos);
  EXPECT_EQ(request.substr(request.size() - Boundary(builder).size() - 6),
            "--" + Boundary(builder) + "\r\n\r\n");
}

TEST_F(nwCHttpRequestHeaderBuilderTest, PostLengthThatCannotBeAnnouncedIsRefused) {
  nwCHttpPOSTHeaderBuilder builder;
  builder.SetContentLength(std::numeric_limits<int64_t>::max() - 100);
  nvCString out;
  EXPECT_EQ(builder.BuildRequest(&out), NW_E_FAIL);
}

}  // namespace
