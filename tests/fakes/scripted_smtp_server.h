// An SMTP server on 127.0.0.1 that follows a script, good or bad, and
// records what it was told. Serves connections one after another on a
// thread of its own until destroyed.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net/socket.h"

namespace warderon::testing {

struct TSmtpServerScript {
  std::string greeting = "220 scripted ESMTP";  // empty: say nothing at all
  bool drip_greeting = false;                   // one byte every 100 ms
  std::string ehlo_reply = "250-scripted\r\n250 8BITMIME";
  std::string helo_reply = "250 scripted";
  std::map<std::string, std::string> rcpt_replies;  // by address; others get 250
  bool close_in_data = false;  // drop the connection after the first line of the message
  bool close_at_quit = false;  // drop the connection instead of answering QUIT
};

class TScriptedSmtpServer {
 public:
  explicit TScriptedSmtpServer(TSmtpServerScript script);
  ~TScriptedSmtpServer();
  TScriptedSmtpServer(const TScriptedSmtpServer&) = delete;
  TScriptedSmtpServer& operator=(const TScriptedSmtpServer&) = delete;

  std::uint16_t Port() const { return listener_->Port(); }
  // Changes the script for the connections that follow.
  void SetScript(TSmtpServerScript script);
  std::vector<std::string> Commands() const;  // every line outside DATA, in order
  std::vector<std::string> Messages() const;  // every message as received after 354
  int Connections() const { return connections_.load(); }

 private:
  void Serve();
  void Handle(TTcpConnection& connection, const TSmtpServerScript& script);
  bool ReadLine(TTcpConnection& connection, std::string& buffer, std::string& line);

  std::unique_ptr<TTcpListener> listener_;
  mutable std::mutex mutex_;
  TSmtpServerScript script_;
  std::vector<std::string> commands_;
  std::vector<std::string> messages_;
  std::atomic<int> connections_{0};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace warderon::testing
