// The RELP client against a scripted collector on loopback: what counts as
// taken when the collector answers, answers out of order, refuses, breaks
// the connection or says something that is not RELP.
#include "alerts/relp_session.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

namespace warderon::testing {
namespace {

using namespace std::chrono_literals;

TDeadline In(std::chrono::milliseconds time) { return std::chrono::steady_clock::now() + time; }

// Accepts one connection and answers frames by a script: given the frame's
// number, command and data, the reply to send (empty: none; "close": the
// connection is closed).
class TScriptedCollector {
 public:
  using TScript = std::function<std::string(std::uint32_t, const std::string&, const std::string&)>;

  explicit TScriptedCollector(TScript script)
      : listener_(ListenOnLoopback()), thread_([this, script] { Serve(script); }) {}
  ~TScriptedCollector() { thread_.join(); }
  std::uint16_t Port() const { return listener_->Port(); }
  std::unique_ptr<TTcpConnection> Connect() { return ConnectTcp("127.0.0.1", Port(), In(5s)); }
  std::vector<std::string> received;  // the data of every syslog frame, read after the join

 private:
  void Serve(const TScript& script) {
    const auto connection = listener_->Accept(In(5s));
    if (!connection) return;
    std::string buffer;
    char chunk[4096];
    try {
      for (;;) {
        const std::size_t got = connection->Receive(chunk, sizeof chunk, In(3s));
        if (got == 0) return;
        buffer.append(chunk, got);
        for (;;) {
          // "TXNR CMD LEN[ DATA]\n"
          const auto first = buffer.find(' ');
          const auto second = first == std::string::npos ? first : buffer.find(' ', first + 1);
          if (second == std::string::npos) break;
          const auto end_of_length = buffer.find_first_of(" \n", second + 1);
          if (end_of_length == std::string::npos) break;
          const std::size_t length = std::stoul(buffer.substr(second + 1));
          const std::size_t data_at = end_of_length + (length > 0 ? 1 : 0);
          if (buffer.size() < data_at + length + 1) break;
          const auto number = static_cast<std::uint32_t>(std::stoul(buffer));
          const std::string command = buffer.substr(first + 1, second - first - 1);
          const std::string data = buffer.substr(data_at, length);
          buffer.erase(0, data_at + length + 1);
          if (command == "syslog") received.push_back(data);
          const std::string reply = script(number, command, data);
          if (reply == "close") return;
          if (!reply.empty()) connection->SendAll(reply, In(3s));
        }
      }
    } catch (const TSocketError&) {
    }
  }

  std::unique_ptr<TTcpListener> listener_;
  std::thread thread_;
};

std::string Answer(std::uint32_t number, const std::string& data) {
  return std::to_string(number) + " rsp " + std::to_string(data.size()) + " " + data + "\n";
}

std::string OpenAccepted(std::uint32_t number) {
  return Answer(number, "200 OK\nrelp_version=0\nrelp_software=peer\ncommands=syslog");
}

TEST(RelpSession, OnlyAnUnbrokenRunOfAnswersFromTheOldestCountsAsTaken) {
  struct TCase {
    const char* name;
    // The reply to the Nth syslog frame (1-based), given its transaction.
    std::function<std::string(int, std::uint32_t)> reply;
    std::size_t sent;
    std::size_t taken;
    bool fails;
  };
  std::string held;  // an answer kept back to be sent after the next one
  const TCase cases[] = {
      {"all answered", [](int, std::uint32_t n) { return Answer(n, "200 OK"); }, 5, 5, false},
      {"answered out of order",
       [&](int index, std::uint32_t n) {
         if (index == 2) return held = Answer(n, "200 OK"), std::string();
         return Answer(n, "200 OK") + std::exchange(held, "");
       },
       4, 4, false},
      {"the connection breaks after two answers",
       [](int index, std::uint32_t n) {
         return index <= 2 ? Answer(n, "200 OK") : std::string("close");
       },
       4, 2, true},
      {"a later one answered, the oldest not",
       [](int index, std::uint32_t n) {
         return index == 1 ? std::string() : index == 2 ? Answer(n, "200 OK") : "close";
       },
       3, 0, true},
      {"the second is refused",
       [](int index, std::uint32_t n) {
         return Answer(n, index == 2 ? "500 queue full" : "200 OK");
       },
       3, 1, true},
      {"the collector closes the session",
       [](int index, std::uint32_t n) {
         return index == 1 ? Answer(n, "200 OK") + "0 serverclose 0\n" : std::string();
       },
       3, 1, true},
      {"an answer that is not RELP",
       [](int, std::uint32_t n) { return std::to_string(n) + " rsp x\n"; }, 2, 0, true},
  };
  for (const TCase& item : cases) {
    SCOPED_TRACE(item.name);
    held.clear();
    int index = 0;
    TScriptedCollector collector(
        [&](std::uint32_t n, const std::string& command, const std::string&) -> std::string {
          if (command == "open") return OpenAccepted(n);
          if (command == "syslog") return item.reply(++index, n);
          return Answer(n, "");
        });
    TRelpSession session(collector.Connect(), In(3s));
    bool failed = false;
    try {
      for (std::size_t i = 0; i < item.sent; ++i) {
        session.Send("<12>message " + std::to_string(i), In(3s));
        std::this_thread::sleep_for(10ms);  // the answers of the earlier ones come between
      }
      session.AwaitAnswers(In(3s));
    } catch (const TSocketError&) {
      failed = true;
    }
    EXPECT_EQ(failed, item.fails);
    EXPECT_EQ(session.TakeAnswered(), item.taken);
    session.Close(In(1s));
  }
}

TEST(RelpSession, AFullWindowWaitsAndARefusedOfferFails) {
  {
    // A collector that takes the session but answers nothing: the window
    // fills and the next message waits for an answer until its deadline.
    TScriptedCollector silent(
        [](std::uint32_t n, const std::string& command, const std::string&) -> std::string {
          return command == "open" ? OpenAccepted(n) : std::string();
        });
    TRelpSession session(silent.Connect(), In(3s));
    for (std::size_t i = 0; i < TRelpSession::kWindow; ++i) session.Send("m", In(3s));
    EXPECT_THROW(session.Send("one too many", In(300ms)), TSocketError);
  }
  // The collector's text reaches the report without a line break of its own.
  TScriptedCollector refusing([](std::uint32_t n, const std::string&, const std::string&) {
    return Answer(n, "500 no\nfake alert line");
  });
  try {
    TRelpSession session(refusing.Connect(), In(3s));
    ADD_FAILURE() << "a refused offer opened a session";
  } catch (const TSocketError& error) {
    EXPECT_EQ(std::string(error.what()).find('\n'), std::string::npos) << error.what();
  }
}

}  // namespace
}  // namespace warderon::testing
