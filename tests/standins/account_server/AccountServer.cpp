#include "AccountServer.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "foundation/Base64.h"
#include "platform/ValueJson.h"
#include "support/TestEnvironment.h"

#ifndef KL_ACCOUNT_SERVER_SCRIPT
#error "KL_ACCOUNT_SERVER_SCRIPT must name account_server.py"
#endif

namespace kl::test {
namespace {

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("command failed: " + command);
}

size_t collect(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

}  // namespace

AccountServer::AccountServer() {
    dir_ = makeTempDir("account-server");
    certFile_ = dir_ / "cert.pem";
    keyFile_ = dir_ / "key.pem";
    run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=127.0.0.1"
        " -addext subjectAltName=IP:127.0.0.1 -keyout " + keyFile_.string() + " -out " + certFile_.string() +
        " >/dev/null 2>&1");

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // The server must not outlive a test that crashes, nor hold the test's output pipes open.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::dup2(out[1], STDOUT_FILENO);
        int log = ::open((dir_ / "server.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (log >= 0) ::dup2(log, STDERR_FILENO);
        std::string cert = certFile_.string(), key = keyFile_.string();
        ::execl("/usr/bin/python3", "python3", KL_ACCOUNT_SERVER_SCRIPT, "--cert", cert.c_str(), "--key", key.c_str(),
                "--port", "0", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    // The server prints "PORT <n>" once it listens.
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buffer[256];
        ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        line.append(buffer, size_t(n));
    }
    ::close(out[0]);
    if (line.rfind("PORT ", 0) != 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        throw std::runtime_error("account server did not start: " + line);
    }
    port_ = std::atoi(line.c_str() + 5);
}

AccountServer::~AccountServer() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
        ::usleep(10000);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
}

std::string AccountServer::origin() const { return "https://127.0.0.1:" + std::to_string(port_) + "/"; }
std::string AccountServer::baseURL() const { return origin() + "api/v1/"; }

Value AccountServer::control(const std::string& method, const std::string& path, const std::string& body) {
    CURL* easy = curl_easy_init();
    std::string url = origin() + path.substr(path.front() == '/' ? 1 : 0);
    std::string reply;
    std::string ca = certFile_.string();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_CAINFO, ca.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    if (method == "POST") {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, long(body.size()));
    }
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply);
    CURLcode code = curl_easy_perform(easy);
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(easy);
    if (code != CURLE_OK) throw std::runtime_error("control " + path + " failed: " + curl_easy_strerror(code));
    if (status != 200) throw std::runtime_error("control " + path + " refused (" + std::to_string(status) + "): " + reply);
    auto parsed = valueFromJson(reply);
    if (!parsed) throw std::runtime_error("control " + path + " replied no JSON: " + reply);
    return parsed.value();
}

void AccountServer::script(const ScriptedReply& reply) {
    // The body travels in Base64, so that bytes that are no UTF-8 text arrive as they are.
    size_t length = 0;
    char* encoded = NewBase64Encode(reply.body.data(), reply.body.size(), false, &length);
    std::string body64(encoded ? encoded : "", length);
    std::free(encoded);
    Dictionary d{{"method", reply.method}, {"path", reply.path},        {"status", reply.status},
                 {"content_type", reply.contentType}, {"body_base64", body64}, {"repeat", reply.repeat}, {"delay", reply.delaySeconds},
                 {"times", reply.times}, {"headers", reply.headers}};
    control("POST", "/_test/script", valueToJson(Value(d)));
}

Array AccountServer::requests() {
    Value log = control("GET", "/_test/requests");
    return log.asArray() ? *log.asArray() : Array{};
}

void AccountServer::reset() { control("POST", "/_test/reset", "{}"); }

void AccountServer::addUser(const std::string& email, const std::string& password) {
    control("POST", "/_test/users", valueToJson(Value(Dictionary{{"email", email}, {"password", password}})));
}

Value AccountServer::state() { return control("GET", "/_test/state"); }

}  // namespace kl::test
