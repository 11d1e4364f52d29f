// capecho-server behind a load balancer that sends PROXY headers: the real
// binary on loopback, with the test playing the balancer.
#include <sys/socket.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "server_process.h"
#include "tcp_client.h"
#include "unique_fd.h"

using namespace capecho_test;
using namespace std::chrono_literals;

namespace {

std::string v1(const std::string& source, int port) {
  return "PROXY TCP4 " + source + " 127.0.0.1 " + std::to_string(port) + " 7007\r\n";
}

std::string v2_local() { return std::string("\r\n\r\n\0\r\nQUIT\n\x20\x00\x00\x00", 16); }

std::string v2_tcp4(uint8_t last_octet, uint16_t port) {
  std::string h("\r\n\r\n\0\r\nQUIT\n\x21\x11\x00\x0C", 16);
  h += std::string{10, 0, 0, static_cast<char>(last_octet), 127, 0, 0, 1};
  h += {static_cast<char>(port >> 8), static_cast<char>(port & 0xFF), 0x1B, 0x5F};
  return h;
}

std::vector<std::string> proxy_args(std::vector<std::string> extra = {}) {
  std::vector<std::string> args = listen_args({"--verbose", "--proxy-protocol", "--trusted-proxy",
                                               "127.0.0.1", "--trusted-proxy", "::1/128"});
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

TEST(Proxy, TheClientTheHeaderNamesIsTheSessionsSource) {
  server_process server(proxy_args({"--max-per-source", "1"}));
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();

  tcp_client a(port);
  ASSERT_TRUE(a.connected());
  EXPECT_TRUE(nothing_arrives(a.fd(), 200)) << "no greeting before the header";
  ASSERT_TRUE(a.send_all(v1("10.0.0.5", 1111)));
  EXPECT_TRUE(a.greeted());
  EXPECT_EQ(a.echo("via v1\r\n"), "VIA V1\r\n");

  tcp_client same_client(port);
  ASSERT_TRUE(same_client.send_all(v1("10.0.0.5", 2222)));
  EXPECT_TRUE(same_client.closed_by_server()) << "the per-source limit sees the real client";
  EXPECT_TRUE(server.wait_for_log("10.0.0.5:2222 has 1 session already"));

  tcp_client other(port);
  ASSERT_TRUE(other.send_all(v2_tcp4(6, 3333) + "ab"));
  EXPECT_TRUE(other.greeted());
  EXPECT_EQ(other.receive(2), "AB") << "the bytes behind the header are the client's";
  EXPECT_TRUE(other.finish());
  EXPECT_TRUE(a.finish());
  EXPECT_TRUE(server.wait_for_log("session 10.0.0.6:3333 via 127.0.0.1:"));
  EXPECT_TRUE(server.wait_for_log("session 10.0.0.5:1111 via 127.0.0.1:"));

  tcp_client check(port);
  ASSERT_TRUE(check.send_all(v2_local()));
  EXPECT_TRUE(check.greeted()) << "a balancer's health check is served";
  EXPECT_TRUE(check.finish());

  tcp_client six(port);
  ASSERT_TRUE(six.send_all("PROXY TCP6 2001:db8::9 ::1 4444 7007\r\n"));
  EXPECT_TRUE(six.greeted()) << "an IPv6 client";
  EXPECT_TRUE(six.finish());
  EXPECT_TRUE(server.wait_for_log("session [2001:db8::9]:4444 via 127.0.0.1:"));

  tcp_client stranger(port, "127.0.0.1", 5000, "127.0.0.2");
  ASSERT_TRUE(stranger.send_all(v1("10.0.0.7", 5555)));
  EXPECT_TRUE(stranger.closed_by_server());
  EXPECT_TRUE(server.wait_for_log("127.0.0.2:"));
  EXPECT_TRUE(server.wait_for_log("is not a trusted proxy (--trusted-proxy); connection closed"));

  tcp_client forger(port);
  ASSERT_TRUE(forger.send_all("PROXY TCP4 10.0.0.8 127.0.0.1 06 7007\r\n"));
  EXPECT_TRUE(forger.closed_by_server());
  EXPECT_TRUE(server.wait_for_log("no valid PROXY header: v1: a malformed source address or port"));

  server.signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(), 0);
  EXPECT_EQ(server.log().find("draining"), std::string::npos) << "no drain delay by default";
  EXPECT_EQ(server.log().find("session 127.0.0.1:"), std::string::npos)
      << "the health check is not logged\n"
      << server.log();
}

TEST(Proxy, ASlowHeaderHoldsUpNoOneAndTimesOut) {
  int port = 0;
  const unique_fd inherited(loopback_listener(port));
  ASSERT_GE(inherited.get(), 0);
  server_process server(proxy_args({"--proxy-timeout", "1", "--metrics", "127.0.0.1:0"}),
                        socket_activation(inherited));
  const int metrics = port_after(server, "metrics on http://127.0.0.1:");
  ASSERT_TRUE(server.wait_for_log("listening on")) << server.log();

  tcp_client slow(port);
  ASSERT_TRUE(slow.send_all("PROXY TCP4 10.0.0.1 "));
  tcp_client quick(port);
  ASSERT_TRUE(quick.send_all(v1("10.0.0.2", 1)));
  EXPECT_TRUE(quick.greeted());
  EXPECT_TRUE(nothing_arrives(slow.fd(), 0)) << "not queued behind the slow one, which still waits";
  EXPECT_TRUE(slow.closed_by_server());
  EXPECT_TRUE(server.wait_for_log("no valid PROXY header: none whole within 1 s"));
  EXPECT_TRUE(quick.finish());

  tcp_client plain(port);
  ASSERT_TRUE(plain.send_all("hello\r\n"));
  EXPECT_TRUE(plain.closed_by_server()) << "an inherited listener requires the header too";
  const std::string text = scrape(metrics);
  EXPECT_NE(text.find("capecho_proxy_header_failures_total{reason=\"timeout\"} 1\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("capecho_proxy_header_failures_total{reason=\"malformed\"} 1\n"),
            std::string::npos);
}

TEST(Proxy, DrainingTurnsHealthChecksAwayWhileStillServingThenStops) {
  server_process server(proxy_args({"--drain-delay", "2"}));
  const int port = server.port();
  ASSERT_GT(port, 0) << server.log();
  server.signal(SIGTERM);
  ASSERT_TRUE(server.wait_for_log("draining: still accepting for 2 s")) << server.log();

  tcp_client check(port);
  ASSERT_TRUE(check.send_all(v2_local()));
  EXPECT_TRUE(check.closed_by_server()) << "the health check fails";
  tcp_client client(port);
  ASSERT_TRUE(client.send_all(v2_tcp4(9, 9)));
  EXPECT_TRUE(client.greeted()) << "a client is still served";

  ASSERT_TRUE(server.wait_for_log("stopping: waiting", 5s)) << server.log();
  tcp_client late(port);
  EXPECT_FALSE(late.connected()) << "the listener is closed once the delay is over";
  EXPECT_EQ(client.echo("still here"), "STILL HERE") << "and the session finishes";
  EXPECT_TRUE(client.finish());
  EXPECT_EQ(server.wait_exit(), 0);
}

}  // namespace
