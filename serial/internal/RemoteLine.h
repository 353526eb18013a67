// RemoteLine: a serial port on a port server (ser2net, a terminal server), reached as
// rfc2217://HOST:PORT through libgensio's telnet(rfc2217) client.
//
// All of gensio runs on one service thread per port, so that no other thread of the
// program ever calls into it. The bytes cross between that thread and SerialPort
// through a local socket pair: SerialPort reads, writes and polls its end like a tty,
// and the service thread moves them to and from the connection. Line settings, BREAK,
// DTR/RTS and purges are posted to the service thread and answered there.
//
// A server may leave a line-control request unanswered (ser2net in front of a pty does
// not answer DTR): the caller goes on after kLineControlAnswerWait. Only at open must
// the server answer the rate, else it does not speak RFC 2217 and the open fails with
// EPROTO. A closed connection shuts the local socket both ways, so that SerialPort sees
// the line hang up exactly as a tty whose device went away.
#pragma once

#include "LineBackend.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct gensio;
struct gensio_iod;
struct gensio_os_funcs;
struct sergensio;

// How long the open waits for the TCP connection and for the server's first answer.
constexpr std::chrono::milliseconds kRemoteConnectLimit{5000};
// How long a line-control request waits for the server's answer before going on.
constexpr std::chrono::milliseconds kLineControlAnswerWait{300};

class RemoteLine : public LineBackend
{
public:
    RemoteLine();
    ~RemoteLine() override;

    // url is rfc2217://HOST:PORT; 0 or an errno (EINVAL for a malformed URL,
    // ECONNREFUSED, EHOSTUNREACH, ETIMEDOUT, EPROTO when the server does not negotiate).
    int open(const QString& url);

    int descriptor() const override { return ours; }
    int applyState(const CommState& state, SerialPort::LineFlags* asked) override;
    int readState(const CommState& remembered, CommState* state) override;
    bool modemLines(uint32_t* lines) override;
    bool switchModemLine(bool dtr, bool on) override;
    int setBreak(bool on) override;
    int purge(bool outputOnly) override;
    uint32_t takeLineErrors() override;
    int unsentOutput() override;
    ssize_t writeBytes(const char* data, size_t size) override;
    void close() override;
    QString explain(uint32_t error) const override;

    // Tests shorten the waits through these.
    static void setWaitsForTest(std::chrono::milliseconds connect,
                                std::chrono::milliseconds answer);

private:
    struct Answer; // one pending request's result
    // Runs task on the service thread and waits up to limit for it to call done;
    // ETIMEDOUT when the server did not answer in time.
    int ask(std::function<int(Answer*)> task, std::chrono::milliseconds limit);
    // Runs task on the service thread; the answer comes when task's request is answered.
    std::shared_ptr<Answer> send(std::function<int(Answer*)> task);
    std::shared_ptr<Answer> sendRequest(int which, unsigned int value);
    // Waits for every answer up to one kLineControlAnswerWait; EIO when the line is lost.
    int awaitAnswers(const std::vector<std::shared_ptr<Answer>>& pending);
    int connect(const QString& url);
    void post(std::function<void()> task);
    void serve();
    // Service-thread handlers.
    static int onEvent(gensio* io, void* self, int event, int err, unsigned char* buf,
                       unsigned long* buflen, const char* const* auxdata);
    static void onRequest(gensio_iod* iod, void* self);
    static void onOutgoing(gensio_iod* iod, void* self);
    static void onIncomingRoom(gensio_iod* iod, void* self);
    static void onCleared(gensio_iod* iod, void* self);
    void sendOutgoing();
    void connectionLost();

    QString address;   // HOST:PORT, for the messages
    int openError = 0; // what refused the open, until it succeeded
    gensio_os_funcs* os = nullptr;
    gensio* connection = nullptr; // the TCP connection under io
    gensio* io = nullptr;         // the telnet(rfc2217) layer
    bool connectionOpen = false;
    bool sessionOpen = false;
    sergensio* sio = nullptr;
    int ours = -1;   // SerialPort's end of the bridge
    int theirs = -1; // the service thread's end
    int requestFd = -1;
    gensio_iod* theirsIod = nullptr;
    gensio_iod* requestIod = nullptr;
    std::thread service;
    bool stopping = false; // service thread only
    bool lost = false;     // service thread only

    std::mutex requestMutex;
    std::deque<std::function<void()>> requests;
    int clearedHandlers = 0;                    // descriptors whose handlers the selector let go
    std::list<std::shared_ptr<Answer>> answers; // kept until answered or closed

    // Bytes taken from the bridge and not yet accepted by the connection.
    std::mutex outgoingMutex;
    std::vector<char> outgoing;
    size_t outgoingSent = 0;

    std::mutex modemMutex;
    uint32_t modem = 0;
    bool modemKnown = false;
    std::atomic<uint32_t> lineErrors{0};
    bool applied = false; // whether appliedState holds what the server last took
    CommState appliedState;
};
