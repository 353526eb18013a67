#include "RemoteLine.h"

#include "RemotePortUrl.h"

#include <gensio/gensio.h>
#include <gensio/gensio_err.h>
#include <gensio/gensio_os_funcs.h>
#include <gensio/gensio_unix.h>
#include <gensio/sergensio.h>

#include <cerrno>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace
{

std::chrono::milliseconds connectLimit = kRemoteConnectLimit;
std::chrono::milliseconds answerWait = kLineControlAnswerWait;

// The longest the service thread sleeps: a bound on any wake-up it might miss.
constexpr gensio_time kServiceSlice = {0, 50 * 1000 * 1000};
// One take from the bridge: what a load's block and its header fill.
constexpr size_t kBridgeChunk = 16384;

int errnoOf(int gensioError)
{
    switch (gensioError) {
    case GE_NOERR:
        return 0;
    case GE_NOMEM:
        return ENOMEM;
    case GE_INVAL:
        return EINVAL;
    case GE_NOTSUP:
        return EOPNOTSUPP;
    case GE_TIMEDOUT:
        return ETIMEDOUT;
    case GE_CONNREFUSE:
        return ECONNREFUSED;
    case GE_HOSTDOWN:
    case GE_NOTFOUND:
    case GE_UNKNOWN_NAME_ERROR:
    case GE_NAME_ERROR:
    case GE_NAME_SERVER_FAILURE:
    case GE_NAME_INVALID:
    case GE_NAME_NET_NOT_UP:
        return EHOSTUNREACH;
    case GE_PERM:
        return EACCES;
    default:
        return EIO; // the connection broke: the line has gone away
    }
}

unsigned int parityCode(uint8_t parity)
{
    switch (parity) {
    case kOddParity:
        return SERGENSIO_PARITY_ODD;
    case kEvenParity:
        return SERGENSIO_PARITY_EVEN;
    case kMarkParity:
        return SERGENSIO_PARITY_MARK;
    case kSpaceParity:
        return SERGENSIO_PARITY_SPACE;
    default:
        return SERGENSIO_PARITY_NONE;
    }
}

// RFC 2217 stop-bit sizes: 1 = one, 2 = two, 3 = one and a half.
unsigned int stopBitsCode(uint8_t stopBits)
{
    return stopBits == kTwoStopBits ? 2 : stopBits == kOne5StopBits ? 3 : 1;
}

enum Request { kBaud, kDataSize, kParity, kStopBits, kFlow, kDtr, kRts, kBreak };

} // namespace

struct RemoteLine::Answer {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    int error = 0;
    unsigned int value = 0;

    void finish(int gensioError, unsigned int answer)
    {
        // Notified under the lock: the waiter may drop the answer as soon as it sees it.
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        error = errnoOf(gensioError);
        value = answer;
        answered.notify_all();
    }
    static void onDone(sergensio*, int err, unsigned int val, void* self)
    {
        static_cast<Answer*>(self)->finish(err, val);
    }
    static void onOpened(gensio*, int err, void* self)
    {
        static_cast<Answer*>(self)->finish(err, 0);
    }
    static void onClosed(gensio*, void* self) { static_cast<Answer*>(self)->finish(0, 0); }
    // ETIMEDOUT when nothing came by deadline.
    int wait(std::chrono::steady_clock::time_point deadline)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!answered.wait_until(lock, deadline, [this] { return done; }))
            return ETIMEDOUT;
        return error;
    }
};

void RemoteLine::setWaitsForTest(std::chrono::milliseconds connect,
                                 std::chrono::milliseconds answer)
{
    connectLimit = connect;
    answerWait = answer;
}

RemoteLine::RemoteLine() = default;

RemoteLine::~RemoteLine()
{
    close();
}

int RemoteLine::open(const QString& url)
{
    openError = connect(url);
    return openError;
}

QString RemoteLine::explain(uint32_t error) const
{
    if (openError == 0 || static_cast<int>(error) != openError)
        return QString();
    switch (error) {
    case EINVAL:
        return QStringLiteral("Not a port address; write rfc2217://HOST:PORT.");
    case ECONNREFUSED:
        return QStringLiteral("Nothing answers at %1: is the port server (ser2net) running "
                              "there?")
            .arg(address);
    case EHOSTUNREACH:
        return QStringLiteral("The host of %1 cannot be reached or is unknown.").arg(address);
    case ETIMEDOUT:
        return QStringLiteral("%1 did not answer in time.").arg(address);
    case EPROTO:
        return QStringLiteral("%1 accepts connections but does not answer as an RFC 2217 "
                              "port server.")
            .arg(address);
    default:
        return QString();
    }
}

int RemoteLine::connect(const QString& url)
{
    RemotePortUrl where;
    if (!RemotePortUrl::parse(url, &where))
        return EINVAL;
    address = where.host + QLatin1Char(':') + QString::number(where.port);
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0)
        return errno;
    ours = pair[0];
    theirs = pair[1];
    requestFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (requestFd < 0)
        return errno;
    if (int err = gensio_unix_funcs_alloc(nullptr, 0, &os))
        return errnoOf(err);
    // The connection first and the telnet layer over it second, so that a host that
    // does not answer is told apart from a server that does not negotiate.
    const QByteArray tcpChain = "tcp," + where.host.toUtf8() + ',' + QByteArray::number(where.port);
    gensio* tcp = nullptr;
    if (int err = str_to_gensio(tcpChain.constData(), os, &RemoteLine::onEvent, this, &tcp))
        return errnoOf(err);
    if (int err =
            str_to_gensio_child(tcp, "telnet(rfc2217)", os, &RemoteLine::onEvent, this, &io)) {
        gensio_free(tcp);
        return errnoOf(err);
    }
    connection = tcp;
    if (os->add_iod(os, GENSIO_IOD_SOCKET, theirs, &theirsIod) ||
        os->add_iod(os, GENSIO_IOD_SOCKET, requestFd, &requestIod))
        return ENOMEM;
    os->set_fd_handlers(theirsIod, this, &RemoteLine::onOutgoing, &RemoteLine::onIncomingRoom,
                        nullptr, &RemoteLine::onCleared);
    os->set_fd_handlers(requestIod, this, &RemoteLine::onRequest, nullptr, nullptr,
                        &RemoteLine::onCleared);
    os->set_read_handler(requestIod, true);
    service = std::thread([this] { serve(); });

    const int connected =
        ask([this](Answer* answer) { return gensio_open(connection, &Answer::onOpened, answer); },
            connectLimit);
    if (connected != 0)
        return connected;
    connectionOpen = true;
    // A port server negotiates at once; a server that does not speak RFC 2217 never does.
    const int negotiated =
        ask([this](Answer* answer) { return gensio_open_nochild(io, &Answer::onOpened, answer); },
            connectLimit);
    if (negotiated != 0)
        return negotiated == ETIMEDOUT ? EPROTO : negotiated;
    sessionOpen = true;
    sio = gensio_to_sergensio(io);
    if (!sio)
        return EPROTO;
    // Reading also carries the server's answers, so it starts before the first question.
    post([this] {
        gensio_set_read_callback_enable(io, true);
        os->set_read_handler(theirsIod, true);
    });
    // And it answers a question for the rate at once.
    const int asked =
        ask([this](Answer* answer) { return sergensio_baud(sio, 0, &Answer::onDone, answer); },
            connectLimit);
    if (asked != 0)
        return EPROTO;
    return 0;
}

void RemoteLine::close()
{
    if (service.joinable()) {
        // The connection is closed in order, so that the server frees the port now.
        gensio* open = sessionOpen ? io : connectionOpen ? connection : nullptr;
        if (open) {
            ask([open](Answer* answer) { return gensio_close(open, &Answer::onClosed, answer); },
                connectLimit);
        }
        post([this] {
            stopping = true;
            os->clear_fd_handlers(theirsIod);
            os->clear_fd_handlers(requestIod);
        });
        service.join();
    }
    if (io)
        gensio_free(io); // and the connection under it
    else if (connection)
        gensio_free(connection);
    io = nullptr;
    connection = nullptr;
    sio = nullptr;
    if (theirsIod)
        os->release_iod(theirsIod);
    if (requestIod)
        os->release_iod(requestIod);
    theirsIod = requestIod = nullptr;
    if (os)
        gensio_os_funcs_free(os);
    os = nullptr;
    for (int* fd : {&ours, &theirs, &requestFd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

// --- the service thread ------------------------------------------------------------

void RemoteLine::serve()
{
    int cleared = 0;
    for (;;) {
        gensio_time slice = kServiceSlice;
        gensio_os_funcs_service(os, &slice);
        if (stopping) {
            // Both handlers report their clearing before the descriptors may go.
            std::lock_guard<std::mutex> lock(requestMutex);
            cleared = clearedHandlers;
            if (cleared == 2)
                return;
        }
    }
}

void RemoteLine::onCleared(gensio_iod*, void* self)
{
    auto* line = static_cast<RemoteLine*>(self);
    std::lock_guard<std::mutex> lock(line->requestMutex);
    ++line->clearedHandlers;
}

void RemoteLine::post(std::function<void()> task)
{
    {
        std::lock_guard<std::mutex> lock(requestMutex);
        requests.push_back(std::move(task));
    }
    const uint64_t one = 1;
    if (::write(requestFd, &one, sizeof one) < 0) {
        // Only a counter at its maximum refuses, and then a wake-up is pending anyway.
    }
}

void RemoteLine::onRequest(gensio_iod*, void* self)
{
    auto* line = static_cast<RemoteLine*>(self);
    uint64_t count = 0;
    if (::read(line->requestFd, &count, sizeof count) < 0) {
        // EAGAIN: another pass took the wake-up; the queue is looked at anyway.
    }
    std::deque<std::function<void()>> tasks;
    {
        std::lock_guard<std::mutex> lock(line->requestMutex);
        tasks.swap(line->requests);
    }
    for (auto& task : tasks)
        task();
}

std::shared_ptr<RemoteLine::Answer> RemoteLine::send(std::function<int(Answer*)> task)
{
    auto answer = std::make_shared<Answer>();
    {
        // Unanswered requests stay until close: the server may still answer them.
        std::lock_guard<std::mutex> lock(requestMutex);
        answers.remove_if([](const std::shared_ptr<Answer>& a) {
            std::lock_guard<std::mutex> answerLock(a->mutex);
            return a->done;
        });
        answers.push_back(answer);
    }
    post([task = std::move(task), answer] {
        if (int err = task(answer.get()))
            answer->finish(err, 0);
    });
    return answer;
}

int RemoteLine::ask(std::function<int(Answer*)> task, std::chrono::milliseconds limit)
{
    return send(std::move(task))->wait(std::chrono::steady_clock::now() + limit);
}

int RemoteLine::onEvent(gensio*, void* self, int event, int err, unsigned char* buf,
                        unsigned long* buflen, const char* const*)
{
    auto* line = static_cast<RemoteLine*>(self);
    switch (event) {
    case GENSIO_EVENT_READ: {
        if (err) {
            line->connectionLost();
            return 0;
        }
        const ssize_t n = ::send(line->theirs, buf, *buflen, MSG_NOSIGNAL | MSG_DONTWAIT);
        const unsigned long taken = n > 0 ? static_cast<unsigned long>(n) : 0;
        if (taken < *buflen) {
            // SerialPort is behind: hold the connection until the bridge has room.
            gensio_set_read_callback_enable(line->io, false);
            line->os->set_write_handler(line->theirsIod, true);
        }
        *buflen = taken;
        return 0;
    }
    case GENSIO_EVENT_WRITE_READY:
        line->sendOutgoing();
        return 0;
    case GENSIO_EVENT_SER_MODEMSTATE: {
        const unsigned int state = *reinterpret_cast<unsigned int*>(buf);
        std::lock_guard<std::mutex> lock(line->modemMutex);
        line->modem = ((state & SERGENSIO_MODEMSTATE_CTS) ? kMsCtsOn : 0) |
                      ((state & SERGENSIO_MODEMSTATE_DSR) ? kMsDsrOn : 0) |
                      ((state & SERGENSIO_MODEMSTATE_RI) ? kMsRingOn : 0) |
                      ((state & SERGENSIO_MODEMSTATE_CD) ? kMsRlsdOn : 0);
        line->modemKnown = true;
        return 0;
    }
    case GENSIO_EVENT_SER_LINESTATE: {
        const unsigned int state = *reinterpret_cast<unsigned int*>(buf);
        line->lineErrors.fetch_or(((state & SERGENSIO_LINESTATE_OVERRUN_ERR) ? kCeOverrun : 0) |
                                  ((state & SERGENSIO_LINESTATE_PARITY_ERR) ? kCeRxParity : 0) |
                                  ((state & SERGENSIO_LINESTATE_FRAMING_ERR) ? kCeFrame : 0) |
                                  ((state & SERGENSIO_LINESTATE_BREAK) ? kCeBreak : 0));
        return 0;
    }
    default:
        return GE_NOTSUP;
    }
}

void RemoteLine::onOutgoing(gensio_iod*, void* self)
{
    auto* line = static_cast<RemoteLine*>(self);
    {
        std::lock_guard<std::mutex> lock(line->outgoingMutex);
        if (line->outgoingSent < line->outgoing.size())
            return;
        line->outgoing.resize(kBridgeChunk);
        const ssize_t n = ::recv(line->theirs, line->outgoing.data(), kBridgeChunk, MSG_DONTWAIT);
        line->outgoing.resize(n > 0 ? static_cast<size_t>(n) : 0);
        line->outgoingSent = 0;
        if (n == 0) {
            line->os->set_read_handler(line->theirsIod, false); // our end is closing
            return;
        }
    }
    line->sendOutgoing();
}

void RemoteLine::sendOutgoing()
{
    std::lock_guard<std::mutex> lock(outgoingMutex);
    while (outgoingSent < outgoing.size()) {
        gensiods count = 0;
        const int err = gensio_write(io, &count, outgoing.data() + outgoingSent,
                                     outgoing.size() - outgoingSent, nullptr);
        if (err) {
            outgoing.clear();
            outgoingSent = 0;
            connectionLost();
            return;
        }
        if (count == 0)
            break;
        outgoingSent += count;
    }
    const bool held = outgoingSent < outgoing.size();
    // While the connection is full, the bridge holds what SerialPort writes.
    os->set_read_handler(theirsIod, !held && !lost);
    gensio_set_write_callback_enable(io, held);
}

void RemoteLine::onIncomingRoom(gensio_iod*, void* self)
{
    auto* line = static_cast<RemoteLine*>(self);
    line->os->set_write_handler(line->theirsIod, false);
    if (!line->lost)
        gensio_set_read_callback_enable(line->io, true);
}

void RemoteLine::connectionLost()
{
    if (lost)
        return;
    lost = true;
    // SerialPort's end now hangs up as a tty whose device went away.
    ::shutdown(theirs, SHUT_RDWR);
    os->set_read_handler(theirsIod, false);
    os->set_write_handler(theirsIod, false);
    gensio_set_read_callback_enable(io, false);
    gensio_set_write_callback_enable(io, false);
}

// --- line control ------------------------------------------------------------------

std::shared_ptr<RemoteLine::Answer> RemoteLine::sendRequest(int which, unsigned int value)
{
    return send([this, which, value](Answer* answer) {
        if (lost)
            return GE_REMCLOSE;
        switch (which) {
        case kBaud:
            return sergensio_baud(sio, value, &Answer::onDone, answer);
        case kDataSize:
            return sergensio_datasize(sio, value, &Answer::onDone, answer);
        case kParity:
            return sergensio_parity(sio, value, &Answer::onDone, answer);
        case kStopBits:
            return sergensio_stopbits(sio, value, &Answer::onDone, answer);
        case kFlow:
            return sergensio_flowcontrol(sio, value, &Answer::onDone, answer);
        case kDtr:
            return sergensio_dtr(sio, value, &Answer::onDone, answer);
        case kRts:
            return sergensio_rts(sio, value, &Answer::onDone, answer);
        default:
            return sergensio_sbreak(sio, value, &Answer::onDone, answer);
        }
    });
}

int RemoteLine::awaitAnswers(const std::vector<std::shared_ptr<Answer>>& pending)
{
    // An unanswered request is no failure: some servers never confirm some controls
    // (ser2net in front of a pty does not confirm DTR). Only a lost line is one.
    const auto deadline = std::chrono::steady_clock::now() + answerWait;
    int result = 0;
    for (const auto& answer : pending) {
        if (answer->wait(deadline) == EIO)
            result = EIO;
    }
    return result;
}

int RemoteLine::applyState(const CommState& s, SerialPort::LineFlags*)
{
    const bool rtscts = s.fOutxCtsFlow || s.rtsControl == kControlHandshake;
    const bool wasRtscts =
        applied && (appliedState.fOutxCtsFlow || appliedState.rtsControl == kControlHandshake);
    const unsigned int flow = rtscts    ? SERGENSIO_FLOWCONTROL_RTS_CTS
                              : s.fOutX ? SERGENSIO_FLOWCONTROL_XON_XOFF
                                        : SERGENSIO_FLOWCONTROL_NONE;
    const unsigned int wasFlow = wasRtscts            ? SERGENSIO_FLOWCONTROL_RTS_CTS
                                 : appliedState.fOutX ? SERGENSIO_FLOWCONTROL_XON_XOFF
                                                      : SERGENSIO_FLOWCONTROL_NONE;
    struct Change {
        int which;
        unsigned int value;
        bool needed;
    };
    const Change changes[] = {
        {kBaud, s.baudRate, !applied || s.baudRate != appliedState.baudRate},
        {kDataSize, s.byteSize, !applied || s.byteSize != appliedState.byteSize},
        {kParity, parityCode(s.parity), !applied || s.parity != appliedState.parity},
        {kStopBits, stopBitsCode(s.stopBits), !applied || s.stopBits != appliedState.stopBits},
        {kFlow, flow, !applied || flow != wasFlow},
        {kDtr, s.dtrControl != kControlDisable ? SERGENSIO_DTR_ON : SERGENSIO_DTR_OFF,
         !applied ||
             (s.dtrControl != kControlDisable) != (appliedState.dtrControl != kControlDisable)},
        {kRts, s.rtsControl != kControlDisable ? SERGENSIO_RTS_ON : SERGENSIO_RTS_OFF,
         !rtscts &&
             (!applied || wasRtscts ||
              (s.rtsControl != kControlDisable) != (appliedState.rtsControl != kControlDisable))},
    };
    // All at once, so that the unanswered ones cost one wait together.
    std::vector<std::shared_ptr<Answer>> pending;
    for (const Change& change : changes) {
        if (change.needed)
            pending.push_back(sendRequest(change.which, change.value));
    }
    if (int error = awaitAnswers(pending))
        return error;
    applied = true;
    appliedState = s;
    return 0;
}

int RemoteLine::readState(const CommState& remembered, CommState* state)
{
    *state = remembered; // the server tells nothing before it is asked
    return 0;
}

bool RemoteLine::modemLines(uint32_t* lines)
{
    std::lock_guard<std::mutex> lock(modemMutex);
    if (!modemKnown)
        return false;
    *lines = modem;
    return true;
}

bool RemoteLine::switchModemLine(bool dtr, bool on)
{
    const unsigned int value = dtr ? (on ? SERGENSIO_DTR_ON : SERGENSIO_DTR_OFF)
                                   : (on ? SERGENSIO_RTS_ON : SERGENSIO_RTS_OFF);
    return awaitAnswers({sendRequest(dtr ? kDtr : kRts, value)}) == 0;
}

int RemoteLine::setBreak(bool on)
{
    return awaitAnswers({sendRequest(kBreak, on ? SERGENSIO_BREAK_ON : SERGENSIO_BREAK_OFF)});
}

int RemoteLine::purge(bool outputOnly)
{
    post([this, outputOnly] {
        if (outputOnly) {
            // What the bridge still holds goes too, as a tty's driver queue would.
            std::lock_guard<std::mutex> lock(outgoingMutex);
            outgoing.clear();
            outgoingSent = 0;
            char discard[4096];
            while (::recv(theirs, discard, sizeof discard, MSG_DONTWAIT) > 0) {
            }
        }
        if (!lost)
            sergensio_flush(sio, outputOnly ? SERGENSIO_FLUSH_XMIT_BUFFER
                                            : SERGENSIO_FLUSH_RCV_XMIT_BUFFERS);
    });
    if (!outputOnly) {
        char discard[4096];
        while (::recv(ours, discard, sizeof discard, MSG_DONTWAIT) > 0) {
        }
    }
    return 0;
}

uint32_t RemoteLine::takeLineErrors()
{
    return lineErrors.exchange(0);
}

int RemoteLine::unsentOutput()
{
    int queued = 0;
    if (::ioctl(ours, TIOCOUTQ, &queued) != 0)
        queued = 0;
    std::lock_guard<std::mutex> lock(outgoingMutex);
    return queued + static_cast<int>(outgoing.size() - outgoingSent);
}

ssize_t RemoteLine::writeBytes(const char* data, size_t size)
{
    const ssize_t n = ::send(ours, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EPIPE)
        errno = EIO; // the connection is gone, as a tty whose device went away
    return n;
}
