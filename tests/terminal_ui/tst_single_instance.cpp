// One brennock per user: a second start, a real second process, hands its file name
// (or an empty one) to the first and ends.
#include "PtyPair.h"
#include "SingleInstance.h"
#include "UiTestSupport.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>

#include <thread>

#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

class SingleInstanceTest : public QObject
{
    Q_OBJECT

private slots:
    void secondProcessHandsOverToFirst();
    void staleSocketIsTakenOver();
    void handOverInProcess();
    void socketFolderIsPrivate_data();
    void socketFolderIsPrivate();
    void squatterOfAnotherUserGetsNothing();
};

namespace
{

QProcessEnvironment brennockEnvironment(const TempConfig& config, const QString& socket)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    env.insert(QStringLiteral("XDG_CACHE_HOME"), config.path() + QStringLiteral("/cache"));
    env.insert(QStringLiteral("BRENNOCK_INSTANCE_NAME"), socket);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("brennock.shell.info=true"));
    return env;
}

bool listening(const QString& socket)
{
    QLocalSocket probe;
    probe.connectToServer(socket);
    return probe.waitForConnected(200);
}

} // namespace

void SingleInstanceTest::secondProcessHandsOverToFirst()
{
    TempConfig config;
    PtyPair pair;
    QVERIFY(pair.ok());
    config.usePort(QStringLiteral("COM3"), pair.slavePath());
    const QString socket = config.path() + QStringLiteral("/brennock.sock");

    QProcess first;
    first.setProcessEnvironment(brennockEnvironment(config, socket));
    first.start(QStringLiteral(BRENNOCK_PATH), QStringList());
    QVERIFY(first.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(listening(socket), 10000);

    // Named relative to the second start's own folder.
    const QString file = config.path() + QStringLiteral("/APP.BIN");
    QProcess second;
    second.setProcessEnvironment(brennockEnvironment(config, socket));
    second.setWorkingDirectory(config.path());
    second.start(QStringLiteral(BRENNOCK_PATH), {QStringLiteral("APP.BIN")});
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);

    QByteArray log;
    QTRY_VERIFY_WITH_TIMEOUT(
        (log += first.readAllStandardError()).contains("second start handed over " + file.toUtf8()),
        5000);
    // Opened as a document there: it joined the first instance's recent list. On failure
    // the first instance's log says what it was doing instead.
    const auto recentFirst = [&config] {
        return SettingsStore(config.iniPath())
            .readText(QStringLiteral("Recent File List"), QStringLiteral("File1"), QString());
    };
    const bool joined = QTest::qWaitFor([&] { return recentFirst() == file; }, 10000);
    QVERIFY2(joined, (log += first.readAllStandardError()).constData());

    QProcess third;
    third.setProcessEnvironment(brennockEnvironment(config, socket));
    third.start(QStringLiteral(BRENNOCK_PATH), QStringList());
    QVERIFY(third.waitForFinished(10000));
    QCOMPARE(third.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(
        (log += first.readAllStandardError()).contains("second start handed over (no file)"), 5000);
    QCOMPARE(first.state(), QProcess::Running);

    first.terminate();
    if (!first.waitForFinished(5000))
        first.kill();
}

void SingleInstanceTest::staleSocketIsTakenOver()
{
    QTemporaryDir dir;
    const QString name = dir.path() + QStringLiteral("/stale.sock");
    // A socket file nobody listens on, as a crashed instance leaves it.
    {
        QLocalServer dead;
        dead.setSocketOptions(QLocalServer::UserAccessOption);
        QVERIFY(dead.listen(name));
    }
    QFile placeholder(name);
    if (!placeholder.exists()) {
        // QLocalServer removes its file on close; leave a plain file behind instead.
        QVERIFY(placeholder.open(QIODevice::WriteOnly));
        placeholder.close();
    }
    SingleInstance instance(name);
    QCOMPARE(instance.start(QString()), SingleInstance::Role::Primary);
    QVERIFY(listening(name));
}

void SingleInstanceTest::handOverInProcess()
{
    QTemporaryDir dir;
    const QString name = dir.path() + QStringLiteral("/inproc.sock");
    SingleInstance primary(name);
    QCOMPARE(primary.start(QString()), SingleInstance::Role::Primary);
    QSignalSpy handed(&primary, &SingleInstance::fileHandedOver);
    // The second start's blocking hand-over needs the primary's loop: run it on a thread.
    const QString odd = QStringLiteral("/tmp/a file\nwith newline and \u00E9.run");
    bool answered = false;
    std::thread second([&] { answered = SingleInstance::handOver(name, odd); });
    QTRY_COMPARE(handed.size(), 1);
    second.join();
    QVERIFY(answered);
    QCOMPARE(handed.first().first().toString(), odd);
}

namespace
{

// Sets an environment variable for one scope (unset when value is null).
class EnvScope
{
public:
    EnvScope(const char* name, const QByteArray& value)
        : name(name), had(qEnvironmentVariableIsSet(name)), old(qgetenv(name))
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ~EnvScope()
    {
        if (had)
            qputenv(name, old);
        else
            qunsetenv(name);
    }

private:
    const char* name;
    bool had;
    QByteArray old;
};

mode_t modeOf(const QString& path)
{
    struct stat info = {};
    const QByteArray native = QFile::encodeName(path);
    return ::lstat(native.constData(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

constexpr uid_t kNobody = 65534;

} // namespace

// Where the instance socket goes: never somewhere another user could have created it.
void SingleInstanceTest::socketFolderIsPrivate_data()
{
    QTest::addColumn<QString>("runtime");  // "own", "open", "none"
    QTest::addColumn<QString>("fallback"); // "missing", "others", "link", "open"
    QTest::addColumn<QString>("expected"); // "runtime", "temp", "home"

    QTest::newRow("runtime folder of our own") << "own"
                                               << "missing"
                                               << "runtime";
    QTest::newRow("runtime folder others may write") << "open"
                                                     << "missing"
                                                     << "temp";
    QTest::newRow("no runtime folder") << "none"
                                       << "missing"
                                       << "temp";
    QTest::newRow("temp folder made by someone else") << "none"
                                                      << "others"
                                                      << "home";
    QTest::newRow("temp folder is a link") << "none"
                                           << "link"
                                           << "home";
    QTest::newRow("temp folder open to all") << "none"
                                             << "open"
                                             << "home";
}

void SingleInstanceTest::socketFolderIsPrivate()
{
    QFETCH(QString, runtime);
    QFETCH(QString, fallback);
    QFETCH(QString, expected);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString runtimeDir = root.path() + QStringLiteral("/run");
    const QString tempDir = root.path() + QStringLiteral("/tmp");
    const QString homeDir = root.path() + QStringLiteral("/home");
    QVERIFY(QDir().mkpath(runtimeDir) && QDir().mkpath(tempDir) && QDir().mkpath(homeDir));
    QVERIFY(::chmod(QFile::encodeName(runtimeDir).constData(),
                    runtime == QLatin1String("open") ? 0777 : 0700) == 0);

    const QString tempFolder =
        tempDir + QStringLiteral("/brennock-") + QString::number(static_cast<qulonglong>(getuid()));
    const QByteArray tempNative = QFile::encodeName(tempFolder);
    if (fallback == QLatin1String("others")) {
        if (geteuid() != 0)
            QSKIP("only root can make a folder that belongs to another user");
        QVERIFY(::mkdir(tempNative.constData(), 0700) == 0);
        QVERIFY(::chown(tempNative.constData(), kNobody, kNobody) == 0);
    } else if (fallback == QLatin1String("link")) {
        QVERIFY(QDir().mkpath(root.path() + QStringLiteral("/elsewhere")));
        QVERIFY(::symlink(QFile::encodeName(root.path() + QStringLiteral("/elsewhere")).constData(),
                          tempNative.constData()) == 0);
    } else if (fallback == QLatin1String("open")) {
        QVERIFY(::mkdir(tempNative.constData(), 0700) == 0);
        QVERIFY(::chmod(tempNative.constData(), 0777) == 0);
    }

    const EnvScope forced("BRENNOCK_INSTANCE_NAME", QByteArray());
    const EnvScope xdg("XDG_RUNTIME_DIR", runtime == QLatin1String("none")
                                              ? QByteArray()
                                              : QFile::encodeName(runtimeDir));
    const EnvScope tmp("TMPDIR", QFile::encodeName(tempDir));
    const EnvScope home("HOME", QFile::encodeName(homeDir));

    const QString name = SingleInstance::defaultName();
    const QString folder = QFileInfo(name).path();
    if (expected == QLatin1String("runtime"))
        QCOMPARE(folder, runtimeDir);
    else if (expected == QLatin1String("temp"))
        QCOMPARE(folder, tempFolder);
    else
        QCOMPARE(folder, homeDir + QStringLiteral("/.cache/brennock"));
    QCOMPARE(modeOf(folder) & 077, mode_t(0));

    // And it works there.
    SingleInstance instance(name);
    QCOMPARE(instance.start(QString()), SingleInstance::Role::Primary);
}

// Another local user listens on the name first: this start neither ends nor tells it
// the file it was asked to open.
void SingleInstanceTest::squatterOfAnotherUserGetsNothing()
{
    if (geteuid() != 0)
        QSKIP("needs root to run the squatter as another user");
    QTemporaryDir dir;
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0777) == 0);
    const QString name = dir.path() + QStringLiteral("/shared.sock");
    const QByteArray path = QFile::encodeName(name);
    QVERIFY(size_t(path.size()) < sizeof(sockaddr_un::sun_path));

    int report[2];
    QVERIFY(::pipe(report) == 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // The squatter: only async-signal-safe calls from here on.
        ::close(report[0]);
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(2);
        const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener, 4) != 0)
            ::_exit(3);
        const char ready = 'R';
        if (::write(report[1], &ready, 1) != 1)
            ::_exit(4);
        int received = 0;
        pollfd waiting = {listener, POLLIN, 0};
        while (::poll(&waiting, 1, 1500) > 0) {
            const int peer = ::accept(listener, nullptr, nullptr);
            if (peer < 0)
                break;
            pollfd data = {peer, POLLIN, 0};
            char buffer[512];
            if (::poll(&data, 1, 1000) > 0) {
                const ssize_t n = ::read(peer, buffer, sizeof buffer);
                if (n > 0)
                    received += int(n);
            }
            ::close(peer);
        }
        const ssize_t wrote = ::write(report[1], &received, sizeof received);
        ::_exit(wrote == sizeof received ? 0 : 5);
    }
    ::close(report[1]);
    char ready = 0;
    QCOMPARE(::read(report[0], &ready, 1), ssize_t(1));

    SingleInstance instance(name);
    const SingleInstance::Role role = instance.start(QStringLiteral("/home/victim/SECRET.RUN"));
    int received = -1;
    const ssize_t got = ::read(report[0], &received, sizeof received);
    ::close(report[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    QCOMPARE(got, ssize_t(sizeof received));
    QVERIFY(role != SingleInstance::Role::HandedOver);
    QCOMPARE(received, 0);
}

QTEST_MAIN(SingleInstanceTest)
#include "tst_single_instance.moc"
