// Test fixture helper: runs the stand-in account server (account_server.py) over TLS on loopback
// with a fresh self-signed certificate for 127.0.0.1, and drives its test controls.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

#include "platform/Value.h"

namespace kl::test {

struct ScriptedReply {
    std::string method = "GET";
    // The request path to answer, such as "/api/v1/hosts".
    std::string path;
    int status = 200;
    std::string contentType = "application/json; charset=utf-8";
    std::string body;
    // The body is sent this many times over (long bodies without a long control request).
    int repeat = 1;
    double delaySeconds = 0;
    int times = 1;
    Dictionary headers;
};

class AccountServer {
public:
    // Starts the server; throws std::runtime_error when it cannot (no python3, no openssl).
    AccountServer();
    ~AccountServer();
    AccountServer(const AccountServer&) = delete;
    AccountServer& operator=(const AccountServer&) = delete;

    int port() const { return port_; }
    // "https://127.0.0.1:<port>/"
    std::string origin() const;
    // "https://127.0.0.1:<port>/api/v1/"
    std::string baseURL() const;
    // The PEM certificate the server presents; trust it to reach the server.
    const std::filesystem::path& caFile() const { return certFile_; }

    void script(const ScriptedReply& reply);
    // The request log, oldest first: dictionaries of method, path, query, headers, body.
    Array requests();
    void reset();
    void addUser(const std::string& email, const std::string& password);
    Value state();

private:
    // A blocking request to a control, with its own transfer (not the library under test).
    Value control(const std::string& method, const std::string& path, const std::string& body = "");

    std::filesystem::path dir_;
    std::filesystem::path certFile_;
    std::filesystem::path keyFile_;
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace kl::test
