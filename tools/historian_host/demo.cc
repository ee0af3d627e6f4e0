#include "tools/historian_host/demo.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <asio.hpp>

#include "loop/loop.h"
#include "networking/event_base/logger.h"
#include "networking/event_base/settings.h"
#include "networking/remote_historian/v2/event_historian_processor.h"
#include "parquet/file_reader.h"
#include "parquet/inspect.h"
#include "redis/connection.h"
#include "redis/endpoint.h"
#include "json/write.h"

extern char **environ;

namespace host {

namespace {

namespace fs = std::filesystem;
using networking::remote_historian::v2::EventHistorianProcessor;
using networking::remote_historian::v2::ProcessorOptions;

constexpr int kStepsPerEpisode = 25;
constexpr int kSensors = 6;
constexpr int kActions = 2;
constexpr const char *kSkill = "walk";
constexpr const char *kJobId = "demo-job";

std::uint16_t free_loopback_port() {
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
  return acceptor.local_endpoint().port();
}

// A redis-server of our own on a free loopback port, in a temporary directory.
class ThrowawayRedis {
public:
  ThrowawayRedis() {
    _port = free_loopback_port();
    std::string dir = (fs::temp_directory_path() / "historian-demo-XXXXXX").string();
    if (!mkdtemp(dir.data()))
      throw std::runtime_error("cannot create a temporary directory");
    _dir = dir;
    const std::string port = std::to_string(_port);
    std::vector<std::string> args = {
        "redis-server", "--port",     port,           "--bind",    "127.0.0.1",
        "--save",       "",           "--appendonly", "no",        "--dir",
        _dir,           "--loglevel", "warning",      "--logfile", _dir + "/redis.log"};
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (auto &a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&_pid, "redis-server", nullptr, nullptr, argv.data(), environ) != 0)
      throw std::runtime_error(
          "cannot start redis-server (is it installed? scripts/install-deps.sh installs it)");
    // Ready once it accepts connections and answers PING: at most 50 tries within 5 s.
    for (int attempt = 0; attempt < 50; ++attempt) {
      if (answers_ping())
        return;
      usleep(100000);
    }
    throw std::runtime_error("redis-server did not come up on port " + port);
  }
  ~ThrowawayRedis() {
    if (_pid > 0) {
      kill(_pid, SIGTERM);
      waitpid(_pid, nullptr, 0);
    }
    std::error_code ec;
    fs::remove_all(_dir, ec);
  }
  std::string url() const { return "redis://127.0.0.1:" + std::to_string(_port); }

private:
  bool answers_ping() const {
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    std::error_code ec;
    socket.connect({asio::ip::make_address("127.0.0.1"), _port}, ec);
    if (ec)
      return false;
    asio::write(socket, asio::buffer(std::string("PING\r\n")), ec);
    char reply[16] = {};
    if (!ec)
      socket.read_some(asio::buffer(reply), ec);
    return !ec && std::string_view(reply).starts_with("+PONG");
  }

  pid_t _pid = -1;
  std::uint16_t _port = 0;
  std::string _dir;
};

// Receives the historian's cycle-metrics POSTs, as a job service would.
class CallbackReceiver {
public:
  explicit CallbackReceiver(asio::io_context &io)
      : _acceptor(io, {asio::ip::make_address("127.0.0.1"), 0}) {}
  std::string url() const {
    return "http://127.0.0.1:" + std::to_string(_acceptor.local_endpoint().port()) + "/";
  }
  const std::vector<std::string> &received() const { return _received; }
  void stop() {
    std::error_code ec;
    _acceptor.close(ec);
  }

  asio::awaitable<void> serve() {
    while (_acceptor.is_open()) {
      std::error_code ec;
      auto socket = co_await _acceptor.async_accept(asio::redirect_error(asio::use_awaitable, ec));
      if (ec)
        co_return;
      std::string data;
      std::size_t header_end = std::string::npos;
      std::size_t body_length = 0;
      char buf[4096];
      while (true) {
        std::size_t n = co_await socket.async_read_some(
            asio::buffer(buf), asio::redirect_error(asio::use_awaitable, ec));
        if (ec)
          break;
        data.append(buf, n);
        if (header_end == std::string::npos) {
          header_end = data.find("\r\n\r\n");
          if (header_end == std::string::npos)
            continue;
          auto at = data.find("Content-Length:");
          if (at == std::string::npos)
            at = data.find("content-length:");
          if (at != std::string::npos && at < header_end)
            body_length = std::strtoul(data.c_str() + at + 15, nullptr, 10);
        }
        if (data.size() >= header_end + 4 + body_length)
          break;
      }
      if (header_end != std::string::npos) {
        const std::string request_line = data.substr(0, data.find("\r\n"));
        _received.push_back(request_line + "  " + data.substr(header_end + 4, body_length));
      }
      static const std::string kReply =
          "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      co_await asio::async_write(socket, asio::buffer(kReply),
                                 asio::redirect_error(asio::use_awaitable, ec));
    }
  }

private:
  asio::ip::tcp::acceptor _acceptor;
  std::vector<std::string> _received;
};

std::string step_payload(std::mt19937 &rng, int episode, int step, bool last) {
  std::normal_distribution<double> reward(0.25, 0.1);
  std::uniform_real_distribution<double> uni(-1.0, 1.0);
  json::Object observation;
  json::Array names;
  for (int k = 0; k < kSensors; ++k) {
    const std::string name = "Joint Angle " + std::to_string(k);
    observation.append_unique(name, json::Value(std::round(uni(rng) * 3.2 * 1e4) / 1e4));
    names.push_back(json::Value(name));
  }
  json::Object info;
  info.append_unique("scenario", json::Value(episode % 2 ? "rough" : "flat"));
  json::Object result;
  result.append_unique("observation", json::Value(std::move(observation)));
  result.append_unique("sensor_names", json::Value(std::move(names)));
  result.append_unique("terminated", json::Value(last && episode % 3 != 2));
  result.append_unique("truncated", json::Value(last && episode % 3 == 2));
  result.append_unique("info", json::Value(std::move(info)));
  json::Object sim;
  sim.append_unique("sim_id", json::Value("sim-" + std::to_string(episode % 2)));
  sim.append_unique("result", json::Value(std::move(result)));
  json::Array action;
  for (int k = 0; k < kActions; ++k)
    action.push_back(json::Value(std::round(uni(rng) * 1e4) / 1e4));
  json::Object skill;
  skill.append_unique("action", json::Value(std::move(action)));
  skill.append_unique("teacher_reward", json::Value(std::round(reward(rng) * 1e4) / 1e4));
  skill.append_unique("done", json::Value(last));
  // In skill_data a step number of 0 is kept (a top-level 0 would count as absent).
  skill.append_unique("step_number", json::Value(step));
  json::Object payload;
  payload.append_unique("episode_id", json::Value("ep-" + std::to_string(episode)));
  payload.append_unique("sim_data", json::Value(std::move(sim)));
  payload.append_unique("skill_data", json::Value(std::move(skill)));
  return json::dumps(json::Value(std::move(payload)));
}

// Waits until the group has delivered and acknowledged everything up to last_id on stream.
asio::awaitable<void> wait_consumed(redis::Connection &redis, const std::string &stream,
                                    const std::string &group, const std::string &last_id) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::vector<std::string> info = {"XINFO", "GROUPS", stream};
    redis::Reply groups = co_await redis.command(std::move(info));
    for (const auto &g : groups.elements) {
      std::string name, delivered;
      std::int64_t pending = -1;
      for (std::size_t i = 0; i + 1 < g.elements.size(); i += 2) {
        const std::string &key = g.elements[i].str;
        if (key == "name")
          name = g.elements[i + 1].str;
        if (key == "pending")
          pending = g.elements[i + 1].integer;
        if (key == "last-delivered-id")
          delivered = g.elements[i + 1].str;
      }
      if (name == group && pending == 0 && delivered == last_id)
        co_return;
    }
    co_await loop::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("the historian did not consume stream '" + stream + "' in time");
}

void print_file(const std::string &title, const std::optional<std::string> &path,
                std::size_t rows) {
  std::cout << "\n== " << title << " ==\n";
  if (!path || !fs::exists(*path)) {
    std::cout << "(not written)\n";
    return;
  }
  parquet::inspect(*path, std::cout, rows);
}

} // namespace

int run_demo(const DemoFlags &flags) {
  try {
    std::unique_ptr<ThrowawayRedis> server;
    std::string url;
    std::string suffix;
    if (flags.redis_url) {
      url = *flags.redis_url;
      // A shared server may hold earlier demo streams: use fresh names.
      suffix = ".demo-" + std::to_string(std::time(nullptr));
    } else {
      server = std::make_unique<ThrowawayRedis>();
      url = server->url();
      std::cout << "Started a throwaway redis-server at " << redis::masked_url(url) << "\n";
    }

    asio::io_context io;
    CallbackReceiver receiver(io);
    networking::event_base::settings().RUN_ID = "demo";
    ProcessorOptions options;
    options.redis_url = url;
    options.input_topic = "korvo.episodes" + suffix;
    options.output_topic = options.input_topic;
    options.training_results_topic = "korvo.ppo.training_results" + suffix;
    options.output_path = flags.output_path;
    options.skill_name = kSkill;
    options.total_cycles = flags.cycles;
    options.callback_url = receiver.url();
    options.job_id = kJobId;
    auto processor = std::make_shared<EventHistorianProcessor>(options);

    int status = 0;
    bool historian_done = false;
    std::int64_t published = 0;
    auto historian = [&]() -> asio::awaitable<void> {
      try {
        co_await processor->start();
      } catch (const std::exception &e) {
        std::cerr << "historian failed: " << e.what() << "\n";
        status = 1;
      }
      historian_done = true;
    };
    auto producer = [&]() -> asio::awaitable<void> {
      const auto executor = co_await asio::this_coro::executor;
      const auto endpoint = redis::parse_url(url);
      auto redis = co_await redis::Connection::connect(executor, endpoint);
      for (int attempt = 0; attempt < 500 && !processor->_is_running; ++attempt)
        co_await loop::sleep_for(std::chrono::milliseconds(10));
      if (!processor->_is_running)
        throw std::runtime_error("the historian did not start");
      std::mt19937 rng(7);
      const std::string start_event = "{\"type\": \"skill_training_started\", \"skill_name\": \"" +
                                      std::string(kSkill) +
                                      "\", \"total_cycles\": " + std::to_string(flags.cycles) + "}";
      std::vector<std::string> add_start = {"XADD", options.input_topic, "*", "data", start_event};
      co_await redis->command(std::move(add_start));
      int episode = 0;
      double t = 1733600000.0;
      for (int cycle = 1; cycle <= flags.cycles; ++cycle) {
        redis::Reply last;
        for (int e = 0; e < flags.episodes_per_cycle; ++e, ++episode) {
          for (int s = 0; s < kStepsPerEpisode; ++s) {
            char ts[32];
            std::snprintf(ts, sizeof ts, "%.2f", t += 0.05);
            std::vector<std::string> add = {
                "XADD",
                options.input_topic,
                "*",
                "data",
                step_payload(rng, episode, s, s == kStepsPerEpisode - 1),
                "timestamp",
                ts};
            last = co_await redis->command(std::move(add));
            ++published;
          }
        }
        co_await wait_consumed(*redis, options.input_topic, options.consumer_group, last.str);
        const std::string result =
            "{\"type\": \"ppo_training_result\", \"training_result\": {\"status\": \"success\"}, "
            "\"steps_per_sec\": " +
            std::to_string(1500 + 100 * cycle) + ".0}";
        std::vector<std::string> add_result = {"XADD", *options.training_results_topic, "*", "data",
                                               result};
        redis::Reply id = co_await redis->command(std::move(add_result));
        co_await wait_consumed(*redis, *options.training_results_topic, options.consumer_group,
                               id.str);
        std::cout << "Cycle " << cycle << ": published " << flags.episodes_per_cycle
                  << " episodes and a training result\n";
      }
      redis->close();
      processor->_is_running = false;
      for (int attempt = 0; attempt < 3000 && !historian_done; ++attempt)
        co_await loop::sleep_for(std::chrono::milliseconds(10));
      // Give the last cycle's report a moment to arrive.
      for (int attempt = 0;
           attempt < 200 && receiver.received().size() < static_cast<std::size_t>(flags.cycles);
           ++attempt)
        co_await loop::sleep_for(std::chrono::milliseconds(10));
      receiver.stop();
    };

    asio::co_spawn(io, receiver.serve(), asio::detached);
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
          co_await processor->init();
          asio::co_spawn(io, historian(), asio::detached);
          try {
            co_await producer();
          } catch (const std::exception &e) {
            std::cerr << "demo producer failed: " << e.what() << "\n";
            status = 1;
            processor->_is_running = false;
            receiver.stop();
          }
        },
        asio::detached);
    loop::run_context(io);

    std::cout << "\nPublished " << published << " steps in " << flags.cycles
              << " cycles; the historian wrote:\n";
    print_file("Step dataset", processor->_steps._output_file, 5);
    print_file("Cycle summary", processor->_cycle_summary._output_file, 20);
    print_file("Episodes", processor->_episodes._output_file, 5);
    std::cout << "\n== Cycle-metrics callbacks received ==\n";
    for (const auto &r : receiver.received())
      std::cout << r << "\n";
    if (processor->_steps._output_file && fs::exists(*processor->_steps._output_file)) {
      auto reader = parquet::FileReader::open(*processor->_steps._output_file);
      std::cout << "\nSummary: " << reader->num_rows() << " step rows (" << published
                << " published), " << reader->schema().size() << " columns, "
                << receiver.received().size() << " callbacks.\n";
      if (reader->num_rows() != published)
        status = 1;
    } else {
      status = 1;
    }
    return status;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "event-historian demo: error: %s\n", e.what());
    return 1;
  }
}

} // namespace host
