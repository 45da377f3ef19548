// SIP message parsing: the fields of good messages, the reason for each bad one.
#include <gtest/gtest.h>

#include <string>

#include "caller_text.h"
#include "sip_message.h"

namespace {

using talo::voip::ParseSipAddress;
using talo::voip::ParseSipMessage;
using talo::voip::SipLimits;

const std::string kSdp =
    "v=0\r\no=- 1 1 IN IP4 192.0.2.10\r\ns=-\r\nc=IN IP4 192.0.2.10\r\nt=0 0\r\n"
    "m=audio 40000 RTP/AVP 0 101\r\na=rtpmap:101 telephone-event/8000\r\n";

std::string Invite(const std::string &from, const std::string &extra = "") {
  return "INVITE sip:200@pbx.example SIP/2.0\r\n"
         "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK1\r\n"
         "From: " + from + "\r\n"
         "To: <sip:200@pbx.example>\r\n"
         "Call-ID: abc@192.0.2.10\r\n"
         "CSeq: 1 INVITE\r\n" + extra +
         "Content-Type: application/sdp\r\n"
         "Content-Length: " + std::to_string(kSdp.size()) + "\r\n\r\n" + kSdp;
}

std::string Response(const std::string &status, const std::string &cseq) {
  return "SIP/2.0 " + status + "\r\nVia: SIP/2.0/UDP 192.0.2.10\r\nFrom: <sip:100@a>;tag=1\r\n"
         "To: <sip:200@b>;tag=2\r\nCall-ID: abc\r\nCSeq: " + cseq + "\r\nContent-Length: 0\r\n\r\n";
}

struct Good {
  const char *name;
  std::string packet;
  bool request;
  std::string method;  // requests
  int code;            // responses
  std::string from_user, to_user, cseq_method;
  uint32_t cseq;
  size_t body_size;
};

TEST(SipMessage, GoodMessagesGiveTheirFields) {
  const std::string compact =
      "INVITE sip:200@b SIP/2.0\nv: SIP/2.0/UDP h\nf: \"Ann\" <sip:+15551234@a>;tag=9\n"
      "t: tel:200\ni: x1\nCSeq: 7 INVITE\nm: <sip:100@h>\nc: application/sdp\nl: 3\n\nabcXYZ";
  const Good cases[] = {
      {"invite with sdp", Invite("\"Alice\" <sip:100@192.0.2.10>;tag=a1"), true, "INVITE", 0, "100", "200",
       "INVITE", 1, kSdp.size()},
      {"200 ok", Response("200 OK", "1 INVITE"), false, "", 200, "100", "200", "INVITE", 1, 0},
      {"486 busy", Response("486 Busy Here", "1 INVITE"), false, "", 486, "100", "200", "INVITE", 1, 0},
      {"bye", "BYE sip:100@a SIP/2.0\r\nFrom: <sip:200@b>;tag=2\r\nTo: <sip:100@a>;tag=1\r\n"
              "Call-ID: abc\r\nCSeq: 2 BYE\r\n\r\n", true, "BYE", 0, "200", "100", "BYE", 2, 0},
      {"cancel", "CANCEL sip:200@b SIP/2.0\r\nFrom: sip:100@a;tag=1\r\nTo: sip:200@b\r\n"
                 "Call-ID: abc\r\nCSeq: 1 CANCEL\r\n\r\n", true, "CANCEL", 0, "100", "200", "CANCEL", 1, 0},
      {"compact headers, LF only, body cut at l:", compact, true, "INVITE", 0, "+15551234", "200", "INVITE", 7, 3},
      {"leading keep-alive and no Content-Length", "\r\n\r\nOPTIONS sip:b SIP/2.0\r\nFrom: <sip:a@b>\r\n"
       "To: <sip:b>\r\nCall-ID: o\r\nCSeq: 5 OPTIONS\r\n\r\nrest", true, "OPTIONS", 0, "a", "", "OPTIONS", 5, 4},
      {"folded header", "BYE sip:a SIP/2.0\r\nFrom: <sip:1@a>\r\nTo:\r\n <sip:2@b>\r\nCall-ID: c\r\n"
       "CSeq: 3 BYE\r\n\r\n", true, "BYE", 0, "1", "2", "BYE", 3, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = ParseSipMessage(c.packet);
    ASSERT_TRUE(r) << r.reason;
    const auto &m = *r.value;
    EXPECT_EQ(c.request, m.is_request);
    EXPECT_EQ(c.method, m.method);
    EXPECT_EQ(c.code, m.status_code);
    EXPECT_EQ(c.from_user, m.from.user);
    EXPECT_EQ(c.to_user, m.to.user);
    EXPECT_EQ(c.cseq, m.cseq);
    EXPECT_EQ(c.cseq_method, m.cseq_method);
    EXPECT_EQ(c.body_size, m.body.size());
  }
}

TEST(SipMessage, NamedFieldsOfAnInvite) {
  const auto r = ParseSipMessage(Invite("\"Alice\" <sip:100@192.0.2.10>;tag=a1"));
  ASSERT_TRUE(r) << r.reason;
  EXPECT_EQ("sip:200@pbx.example", r.value->request_uri);
  EXPECT_EQ("abc@192.0.2.10", r.value->call_id);
  EXPECT_EQ("Alice", r.value->from.display);
  EXPECT_EQ("sip:100@192.0.2.10", r.value->from.uri);
  EXPECT_EQ("application/sdp", r.value->content_type);
  EXPECT_EQ(kSdp, r.value->body);
  EXPECT_EQ("SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK1", r.value->Header("v"));
  EXPECT_EQ(r.value->Header("VIA"), r.value->Header("via"));

  const auto reason = ParseSipMessage(Response("486 Busy Here", "1 INVITE"));
  ASSERT_TRUE(reason);
  EXPECT_EQ("Busy Here", reason.value->reason);
}

TEST(SipMessage, BadMessagesSayWhy) {
  const std::string good = Invite("<sip:100@a>");
  std::string nul = good;
  nul[good.find("Call-ID") + 2] = '\0';
  SipLimits small;
  small.max_headers = 3;
  SipLimits short_lines;
  short_lines.max_line = 200;
  const std::string long_from = "<sip:" + std::string(500, '9') + "@a>";
  const struct {
    const char *name;
    std::string packet;
    SipLimits limits;
    std::string reason;
  } cases[] = {
      {"empty", "", {}, "missing start line"},
      {"only line ends", "\r\n\r\n", {}, "missing start line"},
      {"truncated start line", "INVITE sip:a@b SIP/2", {}, "truncated start line"},
      {"no blank line", good.substr(0, good.find("\r\n\r\n")), {}, "truncated headers"},
      {"headers without start line", "From: <sip:1@a>\r\n\r\n", {}, "bad request line"},
      {"bad version", "INVITE sip:a SIP/3.0\r\n\r\n", {}, "bad request line"},
      {"bad status code", "SIP/2.0 99 Odd\r\n\r\n", {}, "bad status line"},
      {"oversized", good + std::string(64 * 1024, 'x'), {}, "message too large"},
      {"too many headers", good, small, "too many headers"},
      {"long From line", Invite(long_from), short_lines, "line too long"},
      {"negative Content-Length", Response("200 OK", "1 INVITE").replace(
           Response("200 OK", "1 INVITE").find("Length: 0"), 9, "Length: -1"), {}, "bad Content-Length"},
      {"huge Content-Length", Invite("<sip:1@a>", "Content-Length: 99999999999999999999\r\n"), {}, "bad Content-Length"},
      {"two Content-Lengths", Invite("<sip:1@a>", "l: 1\r\n"), {}, "bad Content-Length"},
      {"body shorter than Content-Length", good.substr(0, good.size() - 5), {}, "truncated body"},
      {"NUL in headers", nul, {}, "NUL byte in headers"},
      {"header without colon", "BYE sip:a SIP/2.0\r\nFrom <sip:1@a>\r\n\r\n", {}, "bad header line"},
      {"fold before any header", "BYE sip:a SIP/2.0\r\n x\r\n\r\n", {}, "bad header line"},
      {"missing Call-ID", "BYE sip:a SIP/2.0\r\nFrom: <sip:1@a>\r\nTo: <sip:2@b>\r\nCSeq: 1 BYE\r\n\r\n", {},
       "missing Call-ID"},
      {"duplicate From", Invite("<sip:1@a>", "f: <sip:2@a>\r\n"), {}, "duplicate From"},
      {"unclosed angle bracket", Invite("<sip:1@a"), {}, "bad from header: missing >"},
      {"unclosed quote", Invite("\"Al <sip:1@a>"), {}, "bad from header: unterminated display name"},
      {"CSeq without method", std::string(good).replace(good.find("1 INVITE"), 8, "1"), {}, "bad CSeq"},
      {"CSeq of another method", std::string(good).replace(good.find("1 INVITE"), 8, "1 BYE"), {},
       "CSeq method differs from request"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = ParseSipMessage(c.packet, c.limits);
    EXPECT_FALSE(r);
    EXPECT_EQ(c.reason, r.reason);
  }
}

TEST(SipMessage, FromUserParts) {
  const struct {
    std::string value, display, user;
  } cases[] = {
      {"sip:100@host", "", "100"},
      {"sips:100@host;tag=1", "", "100"},
      {"<sip:100:secret@host;transport=udp>;tag=1", "", "100"},
      {"\"Bob \\\"B\\\"\" <sip:+4930%2012@host>", "Bob \"B\"", "+4930 12"},
      {"Carol <tel:+1-555-0100;phone-context=x>", "Carol", "+1-555-0100"},
      {"<sip:host.example>", "", ""},
      {"<mailto:a@b>", "", ""},
      {"<sip:0123;npdi@host>", "", "0123"},
      {"sip:0123;npdi@host", "", ""},  // unbracketed, ';' starts header parameters
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.value);
    const auto a = ParseSipAddress(c.value);
    ASSERT_TRUE(a) << a.reason;
    EXPECT_EQ(c.display, a.value->display);
    EXPECT_EQ(c.user, a.value->user);
  }
}

TEST(SipMessage, LongFromIsParsedAndItsCallerTextCapped) {
  const auto r = ParseSipMessage(Invite("<sip:" + std::string(500, '9') + "@a>"));
  ASSERT_TRUE(r) << r.reason;
  EXPECT_EQ(500u, r.value->from.user.size());
  EXPECT_EQ(std::string(127, '9'), talo::voip::CallerText(r.value->from.user));
}

}  // namespace
