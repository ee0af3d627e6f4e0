#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "redis/endpoint.h"

namespace {

TEST(ParseUrl, AcceptedForms) {
  const struct {
    const char *url;
    const char *host;
    int port;
    std::optional<std::string> user;
    std::optional<std::string> password;
    int db;
  } cases[] = {
      {"redis://localhost", "localhost", 6379, std::nullopt, std::nullopt, 0},
      {"redis://127.0.0.1:6390", "127.0.0.1", 6390, std::nullopt, std::nullopt, 0},
      {"redis://h:1/0", "h", 1, std::nullopt, std::nullopt, 0},
      {"redis://h:65535/15", "h", 65535, std::nullopt, std::nullopt, 15},
      {"redis://h/", "h", 6379, std::nullopt, std::nullopt, 0},
      {"redis://:secret@h:7000/2", "h", 7000, std::nullopt, "secret", 2},
      {"redis://alice:secret@h", "h", 6379, "alice", "secret", 0},
      {"redis://alice:@h", "h", 6379, "alice", "", 0},
      {"redis://:p%40ss%3Aword@h", "h", 6379, std::nullopt, "p@ss:word", 0},
      {"redis://:a@b@h:6380", "h", 6380, std::nullopt, "a@b", 0},
      {"redis://:pa/ss@h:6380/1", "h", 6380, std::nullopt, "pa/ss", 1},
      {"redis://[::1]:6381/3", "::1", 6381, std::nullopt, std::nullopt, 3},
  };
  for (const auto &c : cases) {
    redis::Endpoint e = redis::parse_url(c.url);
    EXPECT_EQ(e.host, c.host) << c.url;
    EXPECT_EQ(e.port, c.port) << c.url;
    EXPECT_EQ(e.user, c.user) << c.url;
    EXPECT_EQ(e.password, c.password) << c.url;
    EXPECT_EQ(e.db, c.db) << c.url;
  }
}

TEST(ParseUrl, TlsAndSentinelForms) {
  redis::Endpoint tls = redis::parse_url("rediss://alice:pw@h:6380/1");
  EXPECT_TRUE(tls.tls);
  EXPECT_FALSE(tls.uses_sentinel());
  EXPECT_EQ(tls.address(), "h:6380");
  EXPECT_FALSE(redis::parse_url("redis://h").tls);

  redis::Endpoint s = redis::parse_url("rediss+sentinel://:pw@a,[::1]:26380,b:7/main-set/3");
  EXPECT_TRUE(s.tls);
  ASSERT_EQ(s.sentinels.size(), 3u);
  EXPECT_EQ(s.sentinels[0], (redis::HostPort{"a", 26379}));
  EXPECT_EQ(s.sentinels[1], (redis::HostPort{"::1", 26380}));
  EXPECT_EQ(s.sentinels[2], (redis::HostPort{"b", 7}));
  EXPECT_EQ(s.sentinels[1].address(), "[::1]:26380");
  EXPECT_EQ(s.master_name, "main-set");
  EXPECT_EQ(s.db, 3);
  EXPECT_EQ(s.password, "pw");
  // No master address until the Sentinels name one.
  EXPECT_EQ(s.address(), "master 'main-set'");
  EXPECT_FALSE(redis::parse_url("redis+sentinel://a/m").tls);

  redis::Endpoint c = redis::parse_url("rediss+cluster://u:pw@a,[::1]:7001/0");
  EXPECT_TRUE(c.tls);
  ASSERT_EQ(c.cluster_seeds.size(), 2u);
  EXPECT_EQ(c.cluster_seeds[0], (redis::HostPort{"a", 6379}));
  EXPECT_EQ(c.cluster_seeds[1], (redis::HostPort{"::1", 7001}));
  EXPECT_EQ(c.user, "u");
  EXPECT_EQ(c.address(), "cluster a:6379,[::1]:7001");
}

TEST(ParseUrl, RejectsWithAMessageNamingTheFault) {
  const struct {
    const char *url;
    const char *message;
  } cases[] = {
      {"localhost:6379", "Invalid Redis URL 'localhost:6379': expected redis://host[:port][/db]"},
      {"http://h:6379", "Invalid Redis URL 'http://h:6379': unsupported scheme 'http', expected "
                        "redis://, rediss://, redis+sentinel://, rediss+sentinel://, "
                        "redis+cluster:// or rediss+cluster://"},
      {"redis+cluster://h/1",
       "Invalid Redis URL 'redis+cluster://h/1': a Redis Cluster has database 0 only"},
      {"redis+cluster://h,", "Invalid Redis URL 'redis+cluster://h,': no host after ','"},
      {"redis+sentinel://h:1,", "Invalid Redis URL 'redis+sentinel://h:1,': no host after ','"},
      {"redis+sentinel://h,:2/m", "Invalid Redis URL 'redis+sentinel://h,:2/m': no host"},
      {"redis+sentinel://h:1", "Invalid Redis URL 'redis+sentinel://h:1': no master name: "
                               "expected redis+sentinel://host[:port][,...]/MASTER_NAME"},
      {"redis+sentinel://u:pw@h/m/x", "Invalid Redis URL 'redis+sentinel://u:***@h/m/x': "
                                      "invalid database number 'x'"},
      {"redis://", "Invalid Redis URL 'redis://': no host"},
      {"redis://:6379", "Invalid Redis URL 'redis://:6379': no host"},
      {"redis://h:abc", "Invalid Redis URL 'redis://h:abc': invalid port 'abc'"},
      {"redis://h:", "Invalid Redis URL 'redis://h:': invalid port ''"},
      {"redis://h:0", "Invalid Redis URL 'redis://h:0': invalid port '0'"},
      {"redis://h:65536", "Invalid Redis URL 'redis://h:65536': invalid port '65536'"},
      {"redis://h:-1", "Invalid Redis URL 'redis://h:-1': invalid port '-1'"},
      {"redis://h:63 79", "Invalid Redis URL 'redis://h:63 79': invalid port '63 79'"},
      {"redis://h/x", "Invalid Redis URL 'redis://h/x': invalid database number 'x'"},
      {"redis://h/-1", "Invalid Redis URL 'redis://h/-1': invalid database number '-1'"},
      {"redis://h/1/2", "Invalid Redis URL 'redis://h/1/2': invalid database number '1/2'"},
      {"redis://secret@h", "Invalid Redis URL 'redis://***@h': credentials must be written "
                           "[user]:password@"},
      {"redis://u:pw@h:x", "Invalid Redis URL 'redis://u:***@h:x': invalid port 'x'"},
      {"u:pw@h:6379", "Invalid Redis URL 'u:***@h:6379': expected redis://host[:port][/db]"},
      {"redis://:p%4@h", "Invalid Redis URL 'redis://:***@h': bad percent escape in the "
                         "credentials"},
      {"redis://[::1:6379", "Invalid Redis URL 'redis://[::1:6379': unclosed '[' in the host"},
  };
  for (const auto &c : cases) {
    try {
      redis::parse_url(c.url);
      ADD_FAILURE() << "accepted " << c.url;
    } catch (const std::invalid_argument &e) {
      EXPECT_STREQ(e.what(), c.message) << c.url;
    }
  }
}

TEST(MaskedUrl, HidesThePasswordOnly) {
  const struct {
    const char *url;
    const char *masked;
  } cases[] = {
      {"redis://h:6379/2", "redis://h:6379/2"},
      {"redis://alice:s3cret@h:6379/2", "redis://alice:***@h:6379/2"},
      {"redis://:s3cret@h", "redis://:***@h"},
      {"redis://:a@b/c@h", "redis://:***@h"},
      {"redis://alice:@h", "redis://alice:***@h"},
      {"redis://s3cret@h", "redis://***@h"},
      {"http://u:s3cret@h", "http://u:***@h"},
      {"u:s3cret@h", "u:***@h"},
      {"", ""},
  };
  for (const auto &c : cases)
    EXPECT_EQ(redis::masked_url(c.url), c.masked) << c.url;
}

} // namespace
