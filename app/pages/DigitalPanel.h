#pragma once

#include <QFrame>
#include <QString>
#include <functional>

class NetworkBus;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSettings;
class QTimer;

// The NDI and OMT card of one Program on the Outputs page: the network source name and the
// include-audio switch (kept under "network" + the Program key), a start/stop button per protocol
// and a status line per sender, refreshed every 500 ms from the bus. Nothing starts by itself;
// the senders' state lives in the bus and the card only mirrors it. GUI thread only.
class DigitalPanel : public QFrame
{
public:
    DigitalPanel(NetworkBus *bus, QSettings *settings, const QString &programKey,
                 std::function<QString(const QString &)> text, bool sampleContent, QWidget *parent = nullptr);
    ~DigitalPanel() override;

    void retranslate();
    void updateStatus();

    QPushButton *protocolButton(int protocol) const { return protocol == 0 ? ndiButton : omtButton; }
    QLineEdit *nameField() const { return name; }
    QCheckBox *audioBox() const { return audio; }
    QString statusText() const;

private:
    void toggleProtocol(int protocol, bool on);
    QString senderLine(int protocol) const;

    NetworkBus *bus;
    QSettings *settings;
    QString prefix;
    std::function<QString(const QString &)> text;
    bool sampleContent;
    QLabel *title = nullptr;
    QLabel *nameLabel = nullptr;
    QLineEdit *name = nullptr;
    QCheckBox *audio = nullptr;
    QPushButton *ndiButton = nullptr;
    QPushButton *omtButton = nullptr;
    QLabel *status = nullptr;
    QLabel *note = nullptr;
    QTimer *statusTimer = nullptr;
};
