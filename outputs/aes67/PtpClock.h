#pragma once

#include "outputs/aes67/PtpMessage.h"
#include "outputs/aes67/PtpStatus.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

struct ForeignMaster;
struct PtpClockState;

// A software IEEE 1588-2008 ordinary clock (End-to-End delay, UDP/IPv4 multicast). It never touches
// the computer's clock: PTP time is modelled as local monotonic time plus an offset that the servo
// keeps, and now() answers from that model. Mode 0 decides its role with the best-master comparison,
// mode 1 only follows, mode 2 only leads.
//
// The receive thread owns the model under the state lock. PTP time stays continuous through every
// change of role or master: a new master's time is taken over by one measured step once the servo
// has locked to it, and until then the last estimate runs on. Event messages carry the kernel's
// software time stamps (SO_TIMESTAMPING, receive and transmit), with the stamp read in the program
// as fallback. now() and grandmaster() are called by the AES67 sender every millisecond: they read a
// published copy of the model and of the grandmaster without the lock and without allocating.
class PtpClock
{
public:
    // Replaces the sockets and the monotonic clock so tests can drive handleMessage and tick with
    // synthetic times; set before start, which then opens no socket and starts no thread.
    struct TestHooks
    {
        std::function<qint64()> monotonic;
        std::function<void(const QByteArray &message, bool event)> send;
        // When set, the departure time of the event message just sent (as the kernel's transmit
        // stamp would give it), or -1 for none.
        std::function<qint64(const QByteArray &message)> transmitStamp;
    };

    // The grandmaster to advertise. known is false while the clock has neither a master to follow
    // nor the master role (the identity is then its own, provisionally).
    struct Grandmaster
    {
        PtpClockIdentity identity{};
        bool known = false;
        bool operator==(const Grandmaster &other) const = default;
    };

    static constexpr int EventPort = 319;
    static constexpr int GeneralPort = 320;
    // Bounds on the foreign-master table, so an Announce flood costs neither memory nor time under
    // the lock that now() shares with the audio sender.
    static constexpr int ForeignMasterCapacity = 16;
    static constexpr double AdmissionsPerSecond = 8;
    static constexpr double AdmissionBurst = 8;

    PtpClock();
    ~PtpClock();
    PtpClock(const PtpClock &) = delete;
    PtpClock &operator=(const PtpClock &) = delete;

    // Used only when exactly 8 bytes; otherwise the identity comes from the interface.
    void setPresetIdentity(const QByteArray &identity) { presetIdentity = identity; }
    void setTestHooks(TestHooks testHooks) { hooks = std::move(testHooks); }

    bool start(const QString &interfaceAddress, int domain, int mode, QString *error);
    void stop();

    qint64 now() const;
    QByteArray grandmasterIdentity() const;
    Grandmaster grandmaster() const;
    PtpStatus status() const;
    int foreignMasterCount() const;
    // Event messages whose time came from the kernel's software stamps, and those that fell back
    // to the program's own reading (receive and transmit together).
    qint64 kernelStampCount() const;
    qint64 programStampCount() const;

    // Entry points of the receive thread.
    void handleMessage(const char *data, int length, qint64 localNs, bool event);
    void tick(qint64 now);

private:
    bool openSocket(int port, int *socket, int *errorCode);
    void receiveLoop();
    void drain(int socket, bool event);
    qint64 sendEvent(const QByteArray &message);
    qint64 estimate(qint64 local) const;
    void holdEstimate(qint64 now);
    void publish();
    void noteAnnounce(const PtpMessage &message, qint64 localNs);
    bool admitForeignMaster(const ForeignMaster &candidate, qint64 localNs);
    void handleFromParent(const PtpMessage &message, qint64 localNs);
    void answerDelayReq(const PtpMessage &request, qint64 localNs);
    void sendMasterMessages(qint64 now);
    void sendDelayReq(qint64 now);
    void selectMaster(qint64 now);
    void follow(const ForeignMaster &best, qint64 now);
    void becomeMaster(qint64 now);
    void updateServo(qint64 masterTime, qint64 localTime);
    void updateRate();
    PtpMessage writeHeader(quint8 type, quint16 sequenceId, quint8 controlField, qint8 logMessageInterval,
                           quint16 flags, qint64 correction = 0) const;
    void send(const QByteArray &message, bool event);
    qint64 localNs() const;
    qint64 freeRunningPtp(qint64 local) const;

    std::unique_ptr<PtpClockState> state;
    QByteArray presetIdentity;
    TestHooks hooks;
};

// Each byte as two upper-case hexadecimal digits joined by "-", e.g. 02-C0-DE-FF-FE-12-34-56.
QString formatClockIdentity(const QByteArray &bytes);
// EUI-64 from the MAC of the interface that has this address (FF FE in the middle); random bytes
// with FF FE in the middle when no interface with a usable hardware address has it.
QByteArray clockIdentityFor(const QString &interfaceAddress);
// CLOCK_MONOTONIC in nanoseconds.
qint64 monotonicNs();
