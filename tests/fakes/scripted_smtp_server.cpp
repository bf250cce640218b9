#include "fakes/scripted_smtp_server.h"

namespace warderon::testing {
namespace {

TDeadline Soon() { return std::chrono::steady_clock::now() + std::chrono::milliseconds(50); }

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

TScriptedSmtpServer::TScriptedSmtpServer(TSmtpServerScript script)
    : listener_(ListenOnLoopback()), script_(std::move(script)) {
  thread_ = std::thread([this] { Serve(); });
}

TScriptedSmtpServer::~TScriptedSmtpServer() {
  stopping_ = true;
  thread_.join();
}

void TScriptedSmtpServer::SetScript(TSmtpServerScript script) {
  const std::lock_guard lock(mutex_);
  script_ = std::move(script);
}

std::vector<std::string> TScriptedSmtpServer::Commands() const {
  const std::lock_guard lock(mutex_);
  return commands_;
}

std::vector<std::string> TScriptedSmtpServer::Messages() const {
  const std::lock_guard lock(mutex_);
  return messages_;
}

void TScriptedSmtpServer::Serve() {
  while (!stopping_) {
    std::unique_ptr<TTcpConnection> connection = listener_->Accept(Soon());
    if (!connection) continue;
    ++connections_;
    TSmtpServerScript script;
    {
      const std::lock_guard lock(mutex_);
      script = script_;
    }
    try {
      Handle(*connection, script);
    } catch (const TSocketError&) {
      // The client went away: on to the next connection.
    }
  }
}

// Reads one CR LF line; false when the client closed or the server stops.
bool TScriptedSmtpServer::ReadLine(TTcpConnection& connection, std::string& buffer,
                                   std::string& line) {
  for (;;) {
    const auto end = buffer.find("\r\n");
    if (end != std::string::npos) {
      line = buffer.substr(0, end);
      buffer.erase(0, end + 2);
      return true;
    }
    if (stopping_) return false;
    char chunk[4096];
    std::size_t got = 0;
    try {
      got = connection.Receive(chunk, sizeof chunk, Soon());
    } catch (const TSocketError&) {
      continue;  // nothing yet
    }
    if (got == 0) return false;
    buffer.append(chunk, got);
  }
}

void TScriptedSmtpServer::Handle(TTcpConnection& connection, const TSmtpServerScript& script) {
  const auto reply = [&](const std::string& text) {
    connection.SendAll(text + "\r\n", std::chrono::steady_clock::now() + std::chrono::seconds(5));
  };
  if (script.drip_greeting) {
    for (const char c : script.greeting + "\r\n") {
      if (stopping_) return;
      connection.SendAll(std::string(1, c), Soon());
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  } else if (!script.greeting.empty()) {
    reply(script.greeting);
  }
  std::string buffer;
  std::string line;
  while (ReadLine(connection, buffer, line)) {
    {
      const std::lock_guard lock(mutex_);
      commands_.push_back(line);
    }
    if (StartsWith(line, "EHLO")) {
      reply(script.ehlo_reply);
    } else if (StartsWith(line, "HELO")) {
      reply(script.helo_reply);
    } else if (StartsWith(line, "RCPT TO:<")) {
      const std::string address = line.substr(9, line.size() - 10);
      const auto it = script.rcpt_replies.find(address);
      reply(it != script.rcpt_replies.end() ? it->second : "250 ok");
    } else if (line == "DATA") {
      reply("354 go ahead");
      std::string message;
      while (ReadLine(connection, buffer, line) && line != ".") {
        if (script.close_in_data) return;
        message += line + "\r\n";
      }
      {
        const std::lock_guard lock(mutex_);
        messages_.push_back(message);
      }
      reply("250 queued");
    } else if (line == "QUIT") {
      if (!script.close_at_quit) reply("221 bye");
      return;
    } else {
      reply("250 ok");
    }
  }
}

}  // namespace warderon::testing
