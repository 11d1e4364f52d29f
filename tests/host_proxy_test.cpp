// The PROXY header parser, its reader on a real socket, the checksum and the
// trusted address ranges, against the host library.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "address_range.h"
#include "crc32c.h"
#include "events.h"
#include "log.h"
#include "proxy_header.h"
#include "proxy_reader.h"
#include "session_helpers.h"

using namespace capecho;
using namespace std::chrono_literals;

namespace {

const std::string v2_signature("\r\n\r\n\0\r\nQUIT\n", 12);

std::string big_endian_16(size_t n) {
  return {static_cast<char>(n >> 8 & 0xFF), static_cast<char>(n & 0xFF)};
}

std::string v2(int command, int family, const std::string& rest) {
  return v2_signature + static_cast<char>(0x20 | command) + static_cast<char>(family) +
         big_endian_16(rest.size()) + rest;
}

std::string tlv(int type, const std::string& value) {
  return static_cast<char>(type) + big_endian_16(value.size()) + value;
}

const std::string v4_addresses =
    std::string("\xC0\x00\x02\x01\xC0\x00\x02\x02", 8) + big_endian_16(56324) + big_endian_16(7007);

// A v2 PROXY TCP4 header with a CRC32C TLV over it all, between `before`
// and `after`.
std::string v2_with_checksum(const std::string& before, const std::string& after = "") {
  std::string h = v2(1, 0x11, v4_addresses + before + tlv(0x03, std::string(4, '\0')) + after);
  const uint32_t crc =
      crc32c(0, reinterpret_cast<const uint8_t*>(h.data()), h.size());  // field still zero
  const size_t at = h.size() - after.size() - 4;
  for (size_t i = 0; i < 4; ++i) h[at + i] = static_cast<char>(crc >> (24 - 8 * i));
  return h;
}

proxy_parse_result parse(const std::string& bytes, proxy_header& h) {
  return parse_proxy_header(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), h);
}

proxy_parse_status status_of(const std::string& bytes) {
  proxy_header h;
  return parse(bytes, h).status;
}

std::string text(const endpoint& e) { return format_endpoint(e); }

// Every prefix of a header is reported incomplete, never invalid or whole:
// the property that lets a header split across segments be read.
void expect_prefixes_incomplete(const std::string& header) {
  for (size_t k = 0; k < header.size(); ++k) {
    proxy_header h;
    const proxy_parse_result r = parse(header.substr(0, k), h);
    ASSERT_EQ(r.status, proxy_parse_status::incomplete) << k << " of " << header.size();
    EXPECT_GT(r.needed, k);
    EXPECT_LE(r.needed, header.size());
  }
}

TEST(ProxyHeader, VersionOneLinesThatAreValid) {
  proxy_header h;
  const std::string tcp4 = "PROXY TCP4 192.0.2.1 198.51.100.2 56324 443\r\n";
  ASSERT_EQ(parse(tcp4 + "hello\r\n", h).status, proxy_parse_status::complete);
  EXPECT_EQ(h.length, tcp4.size()) << "the client's bytes after it are not header";
  EXPECT_EQ(h.version, 1);
  EXPECT_TRUE(h.proxied && h.has_addresses);
  EXPECT_EQ(text(h.source), "192.0.2.1:56324");
  EXPECT_EQ(text(h.destination), "198.51.100.2:443");
  expect_prefixes_incomplete(tcp4);

  ASSERT_EQ(parse("PROXY TCP6 2001:db8::1 ::1 0 65535\r\n", h).status,
            proxy_parse_status::complete);
  EXPECT_EQ(text(h.source), "[2001:db8::1]:0");
  EXPECT_EQ(text(h.destination), "[::1]:65535");

  for (const std::string unknown : {"PROXY UNKNOWN\r\n", "PROXY UNKNOWN ffff::1 ::2 1 2\r\n"}) {
    ASSERT_EQ(parse(unknown + ".\r\n", h).status, proxy_parse_status::complete) << unknown;
    EXPECT_EQ(h.length, unknown.size());
    EXPECT_TRUE(h.proxied);
    EXPECT_FALSE(h.has_addresses) << "the connection's own endpoints stand";
  }

  // The longest line the format allows: 107 bytes with the CR LF.
  const std::string widest =
      "PROXY TCP6 ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff "
      "65535 65535\r\n";
  ASSERT_EQ(widest.size(), 104u);
  const std::string longest = "PROXY UNKNOWN " + std::string(91, 'x') + "\r\n";
  ASSERT_EQ(longest.size(), proxy_v1_max_bytes);
  EXPECT_EQ(status_of(widest), proxy_parse_status::complete);
  EXPECT_EQ(status_of(longest), proxy_parse_status::complete);
  expect_prefixes_incomplete(longest);
}

TEST(ProxyHeader, VersionOneLinesThatAreNot) {
  const std::string one_too_long = "PROXY UNKNOWN " + std::string(92, 'x') + "\r\n";
  EXPECT_EQ(status_of(one_too_long), proxy_parse_status::invalid) << "108 bytes";
  EXPECT_EQ(status_of(std::string(one_too_long, 0, 107)), proxy_parse_status::invalid)
      << "no CR LF within 107 bytes";
  EXPECT_EQ(status_of(std::string(one_too_long, 0, 106)), proxy_parse_status::incomplete);
  for (const char* bad : {
           "PROXY TCP6 0000:0000:0000:0000:0000:0000:0000:0000:0000:1 ::1 1 2\r\n",  // too long
           "PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n",                                       // bare LF
           "PROXY TCP4 1.2.3.4 5.6.7.8 1 2\r\r\n",       // bare CR before the end
           "PROXY TCP4 1.2.3.4\r5.6.7.8 1 2\r\n",        // bare CR inside
           "PROXY TCP4 1.2.3.4 5.6.7.8 01 2\r\n",        // leading zero
           "PROXY TCP4 1.2.3.4 5.6.7.8 1 65536\r\n",     // port out of range
           "PROXY TCP4 1.2.3.4 5.6.7.8 1 99999999\r\n",  // far out of range
           "PROXY TCP4 1.2.3.4 5.6.7.8 -1 2\r\n",        // signed
           "PROXY TCP4 1.2.3.4  5.6.7.8 1 2\r\n",        // double space
           "PROXY TCP4 1.2.3.4 5.6.7.8 1 2 \r\n",        // trailing space
           "PROXY TCP4 1.2.3.4 5.6.7.8 1 2 3\r\n",       // a field too many
           "PROXY TCP4 1.2.3.4 5.6.7.8 1\r\n",           // a field too few
           "PROXY TCP4 ::1 ::2 1 2\r\n",                 // IPv6 as TCP4
           "PROXY TCP6 1.2.3.4 5.6.7.8 1 2\r\n",         // IPv4 as TCP6
           "PROXY TCP4 1.2.3.04 5.6.7.8 1 2\r\n",        // leading zero in an address
           "PROXY UDP4 1.2.3.4 5.6.7.8 1 2\r\n",         // not TCP
           "PROXY UNKNOWNX\r\n",                         //
           "PROXY \r\n",                                 // too short
           "PROXY  UNKNOWN\r\n",                         //
           "proxy UNKNOWN\r\n",                          // case matters
           "GET / HTTP/1.0\r\n\r\n",                     // not a header at all
       })
    EXPECT_EQ(status_of(bad), proxy_parse_status::invalid) << bad;
  // Rejected on its first byte, without waiting for more.
  EXPECT_EQ(status_of("G"), proxy_parse_status::invalid);
  EXPECT_EQ(status_of("PROXZ"), proxy_parse_status::invalid);
  EXPECT_EQ(status_of("PROXY TCP4 1\r2"), proxy_parse_status::invalid) << "a bare CR, early";
}

TEST(ProxyHeader, VersionTwo) {
  proxy_header h;
  const std::string tcp4 = v2(1, 0x11, v4_addresses);
  ASSERT_EQ(parse(tcp4 + "data", h).status, proxy_parse_status::complete);
  EXPECT_EQ(h.length, 28u);
  EXPECT_EQ(h.version, 2);
  EXPECT_TRUE(h.proxied && h.has_addresses);
  EXPECT_EQ(text(h.source), "192.0.2.1:56324");
  EXPECT_EQ(text(h.destination), "192.0.2.2:7007");
  expect_prefixes_incomplete(tcp4);

  std::string v6_addresses(32, '\0');
  v6_addresses[15] = 1;  // ::1
  v6_addresses[16] = 0x20, v6_addresses[17] = 0x01, v6_addresses[18] = 0x0d,
  v6_addresses[19] = static_cast<char>(0xb8);  // 2001:db8::
  ASSERT_EQ(parse(v2(1, 0x21,
                     v6_addresses + big_endian_16(1) + big_endian_16(2) + tlv(0x01, "h2") +
                         tlv(0xEE, std::string(300, 'z'))),
                  h)
                .status,
            proxy_parse_status::complete);
  EXPECT_EQ(text(h.source), "[::1]:1");
  EXPECT_EQ(text(h.destination), "[2001:db8::]:2");

  // LOCAL: the balancer's own connection; its length is skipped whole.
  const std::string local = v2(0, 0x00, tlv(0x04, "padding"));
  ASSERT_EQ(parse(local + "x", h).status, proxy_parse_status::complete);
  EXPECT_EQ(h.length, local.size()) << "LOCAL with a non-zero length";
  EXPECT_FALSE(h.proxied);
  EXPECT_FALSE(h.has_addresses);
  EXPECT_EQ(status_of(v2(0, 0x11, v4_addresses)), proxy_parse_status::complete);

  // Families without a use here: the connection's own endpoints stand.
  for (int family : {0x00, 0x12, 0x22}) {
    const size_t address_bytes = family == 0x00 ? 0 : family == 0x22 ? 36 : 12;
    ASSERT_EQ(parse(v2(1, family, std::string(address_bytes, '\1')), h).status,
              proxy_parse_status::complete)
        << family;
    EXPECT_TRUE(h.proxied);
    EXPECT_FALSE(h.has_addresses);
  }
  EXPECT_EQ(status_of(v2(1, 0x31, std::string(216, '\0'))), proxy_parse_status::complete);

  // The length is unsigned: 0xFFFF asks for all of it, it is not -1.
  proxy_parse_result r = parse(v2_signature + "\x21\x11\xFF\xFF", h);
  EXPECT_EQ(r.status, proxy_parse_status::incomplete);
  EXPECT_EQ(r.needed, proxy_v2_max_bytes);
  r = parse(v2_signature + std::string("\x21\x11\x80\x00", 4) + v4_addresses, h);
  EXPECT_EQ(r.status, proxy_parse_status::incomplete);
  EXPECT_EQ(r.needed, 16u + 0x8000);
}

TEST(ProxyHeader, VersionTwoThatIsNot) {
  EXPECT_EQ(status_of(v2_signature.substr(0, 11) + "X"), proxy_parse_status::invalid);
  EXPECT_EQ(status_of(v2_signature + "\x11\x11" + big_endian_16(12) + v4_addresses),
            proxy_parse_status::invalid)
      << "version 1 in a binary header";
  EXPECT_EQ(status_of(v2_signature + "\x31\x11" + big_endian_16(12) + v4_addresses),
            proxy_parse_status::invalid)
      << "version 3";
  EXPECT_EQ(status_of(v2(2, 0x11, v4_addresses)), proxy_parse_status::invalid) << "command 2";
  EXPECT_EQ(status_of(v2(0xF, 0x11, v4_addresses)), proxy_parse_status::invalid);
  EXPECT_EQ(status_of(v2(1, 0x13, v4_addresses)), proxy_parse_status::invalid)
      << "an undefined family";
  EXPECT_EQ(status_of(v2(1, 0x11, v4_addresses.substr(0, 11))), proxy_parse_status::invalid)
      << "too short for the addresses";
  EXPECT_EQ(status_of(v2(1, 0x21, std::string(35, '\0'))), proxy_parse_status::invalid);
  EXPECT_EQ(status_of(v2(1, 0x11, v4_addresses + std::string("\x04\x00", 2))),
            proxy_parse_status::invalid)
      << "a truncated TLV";
  EXPECT_EQ(status_of(v2(1, 0x11, v4_addresses + std::string("\x04\x00\x05", 3) + "abcd")),
            proxy_parse_status::invalid)
      << "a TLV longer than what is left";
  EXPECT_EQ(status_of(v2(0, 0x00, std::string("\x04\x00\x05", 3) + "abcd")),
            proxy_parse_status::invalid)
      << "LOCAL's TLVs are checked too";
}

TEST(ProxyHeader, ChecksumTlv) {
  const uint8_t check[] = "123456789";
  EXPECT_EQ(crc32c(0, check, 9), 0xE3069283u) << "the published check value";
  EXPECT_EQ(crc32c(crc32c(0, check, 4), check + 4, 5), 0xE3069283u) << "continued";

  const std::string good = v2_with_checksum(tlv(0x04, "pad"));
  EXPECT_EQ(status_of(good), proxy_parse_status::complete);
  // Any changed bit after the fixed part is caught, except in the checksum
  // TLV's own type byte: changed, it is some other TLV and nothing is checked.
  const size_t checksum_type_at = good.size() - 7;
  for (size_t i = proxy_v2_fixed_bytes; i < good.size(); ++i) {
    if (i == checksum_type_at) continue;
    std::string flipped = good;
    flipped[i] = static_cast<char>(flipped[i] ^ 0x01);
    EXPECT_EQ(status_of(flipped), proxy_parse_status::invalid) << "byte " << i;
  }
  std::string with_more = v2_with_checksum(tlv(0x04, "pad"), tlv(0x05, "unique-id"));
  EXPECT_EQ(status_of(with_more), proxy_parse_status::complete) << "bytes after it are covered";
  with_more.back() = 'X';
  EXPECT_EQ(status_of(with_more), proxy_parse_status::invalid);
  std::string wrong_size = v2(1, 0x11, v4_addresses + tlv(0x03, "abc"));
  EXPECT_EQ(status_of(wrong_size), proxy_parse_status::invalid);
}

TEST(AddressRange, ParsesAndMatches) {
  failure why;
  address_range r;
  ASSERT_TRUE(parse_address_range("10.1.0.0/16", r, why)) << failure_text(why);
  endpoint e;
  ASSERT_TRUE(parse_endpoint("10.1.255.3:9", e, why));
  EXPECT_TRUE(in_range(r, e));
  ASSERT_TRUE(parse_endpoint("10.2.0.1:9", e, why));
  EXPECT_FALSE(in_range(r, e));
  ASSERT_TRUE(parse_endpoint("[::ffff:10.1.2.3]:9", e, why));
  EXPECT_TRUE(in_range(r, e)) << "an IPv4 client on a dual-stack listener";

  ASSERT_TRUE(parse_address_range("127.0.0.1", r, why));
  EXPECT_EQ(r.prefix_bits, 32u) << "a bare address is one host";
  ASSERT_TRUE(parse_endpoint("127.0.0.2:9", e, why));
  EXPECT_FALSE(in_range(r, e));

  ASSERT_TRUE(parse_address_range("10.0.0.0/9", r, why)) << "a prefix within a byte";
  ASSERT_TRUE(parse_endpoint("10.127.0.1:9", e, why));
  EXPECT_TRUE(in_range(r, e));
  ASSERT_TRUE(parse_endpoint("10.128.0.1:9", e, why));
  EXPECT_FALSE(in_range(r, e));

  ASSERT_TRUE(parse_address_range("2001:db8::/32", r, why));
  ASSERT_TRUE(parse_endpoint("[2001:db8:ffff::1]:9", e, why));
  EXPECT_TRUE(in_range(r, e));
  ASSERT_TRUE(parse_endpoint("[2001:db9::1]:9", e, why));
  EXPECT_FALSE(in_range(r, e));
  ASSERT_TRUE(parse_endpoint("32.1.13.184:9", e, why));
  EXPECT_FALSE(in_range(r, e)) << "the same bytes in another family";

  ASSERT_TRUE(parse_address_range("0.0.0.0/0", r, why));
  EXPECT_TRUE(in_range(r, e));
  ASSERT_TRUE(parse_endpoint("[::1]:9", e, why));
  EXPECT_FALSE(in_range(r, e));
  EXPECT_FALSE(in_any_range({}, e));

  for (const char* bad :
       {"10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/08", "10.0.0.0/-1", "10.0.0/8", "localhost",
        "", "10.0.0.0/8/8", "10.0.0.0/1:", "10.0.0.0/2!"}) {
    why = {};
    EXPECT_FALSE(parse_address_range(bad, r, why)) << bad;
    const std::string error = failure_text(why);
    EXPECT_NE(error.find(bad), std::string::npos) << error;
  }
}

// The reader on a real TCP connection: exactly the header is taken.
class ProxyReader : public ::testing::Test {
 protected:
  capecho_test::tcp_pair tcp;

  proxy_read_status read_header(proxy_header& h, std::chrono::milliseconds limit = 2s) {
    return read_proxy_header(tcp.server.get(), std::chrono::steady_clock::now() + limit, h, why);
  }
  failure why;
  std::string rest() {
    shutdown(tcp.client.get(), SHUT_WR);
    std::string got;
    char buf[512];
    for (ssize_t n; (n = recv(tcp.server.get(), buf, sizeof buf, 0)) > 0;)
      got.append(buf, static_cast<size_t>(n));
    return got;
  }
  void send_text(const std::string& s) {
    ASSERT_EQ(send(tcp.client.get(), s.data(), s.size(), 0), static_cast<ssize_t>(s.size()));
  }
};

TEST_F(ProxyReader, TakesExactlyTheHeaderEvenWhenItArrivesInPieces) {
  ASSERT_GE(tcp.server.get(), 0);
  const std::string header = "PROXY TCP4 10.0.0.7 10.0.0.1 4000 7007\r\n";
  std::thread sender([&] {
    for (size_t at = 0; at < header.size(); at += 9) {
      send_text(header.substr(at, 9));
      std::this_thread::sleep_for(5ms);
    }
    send_text("client data");
  });
  proxy_header h;
  EXPECT_EQ(read_header(h), proxy_read_status::ok);
  sender.join();
  EXPECT_EQ(text(h.source), "10.0.0.7:4000");
  EXPECT_EQ(rest(), "client data");
}

TEST_F(ProxyReader, TakesAVersionTwoHeaderLongerThanItsOwnBuffer) {
  ASSERT_GE(tcp.server.get(), 0);
  const std::string header = v2_with_checksum(tlv(0xE0, std::string(3000, 'q')));
  send_text(header.substr(0, 20));
  std::thread sender([&] {
    std::this_thread::sleep_for(20ms);
    send_text(header.substr(20) + "\x01\x02");
  });
  proxy_header h;
  EXPECT_EQ(read_header(h), proxy_read_status::ok);
  sender.join();
  EXPECT_EQ(h.length, header.size());
  EXPECT_EQ(rest(), "\x01\x02");
}

TEST_F(ProxyReader, ReportsWhatWentWrong) {
  ASSERT_GE(tcp.server.get(), 0);
  proxy_header h;
  send_text("PROXY TCP4 10.0.0.7");
  EXPECT_EQ(read_header(h, 100ms), proxy_read_status::timed_out);
  send_text(" 10.0.0.1 4000 7007\n");
  EXPECT_EQ(read_header(h), proxy_read_status::invalid);
  EXPECT_EQ(failure_text(why), "not a PROXY header") << "the parser's reason";

  capecho_test::tcp_pair other;
  ASSERT_GE(other.server.get(), 0);
  ASSERT_EQ(send(other.client.get(), "PROXY ", 6, 0), 6);
  shutdown(other.client.get(), SHUT_WR);
  EXPECT_EQ(read_proxy_header(other.server.get(), std::chrono::steady_clock::now() + 2s, h, why),
            proxy_read_status::closed);
  EXPECT_EQ(failure_text(why), "end of stream");

  // A reset is an error of its own, not taken for an end of stream.
  capecho_test::tcp_pair reset;
  ASSERT_GE(reset.server.get(), 0);
  const linger abort{1, 0};
  ASSERT_EQ(setsockopt(reset.client.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
  reset.client.reset();
  why = failure{};
  EXPECT_EQ(read_proxy_header(reset.server.get(), std::chrono::steady_clock::now() + 2s, h, why),
            proxy_read_status::closed);
  EXPECT_EQ(failure_text(why), "recv: " + error_text(ECONNRESET));
}

}  // namespace
