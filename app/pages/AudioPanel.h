#pragma once

#include <QFrame>
#include <QString>
#include <functional>

class NativeChannel;
class QCheckBox;
class QComboBox;
class QLabel;
class QMediaDevices;
class QProgressBar;
class QSettings;
class QSlider;
class QTimer;

// The audio strip of one deck on the Audio page: master volume, mute, local monitoring and the
// local output device, each kept in the preferences under "audio" + the deck's key, and a
// two-channel peak meter in dBFS. The deck's meter signal only raises two peaks; an 80 ms timer
// shows and resets them, so blocks of audio never repaint the bars. GUI thread only.
class AudioPanel : public QFrame
{
public:
    AudioPanel(NativeChannel *deck, QSettings *settings, const QString &programKey,
               std::function<QString(const QString &)> text, bool sampleContent, QWidget *parent = nullptr);
    ~AudioPanel() override;

    void retranslate();
    void refreshDevices();
    QCheckBox *localBox() const { return local; }

    // What a bar shows for a linear peak: 0..100 and "x.x dBFS", or "−∞ dBFS" at or below 0.00001.
    static int meterValue(float peak);
    static QString meterText(float peak);

private:
    void showPeaks();

    NativeChannel *deck;
    QSettings *settings;
    QString prefix;
    std::function<QString(const QString &)> text;
    bool sampleContent;
    QLabel *title = nullptr;
    QLabel *volumeLabel = nullptr;
    QSlider *volume = nullptr;
    QLabel *volumeValue = nullptr;
    QCheckBox *mute = nullptr;
    QCheckBox *local = nullptr;
    QLabel *deviceLabel = nullptr;
    QComboBox *device = nullptr;
    QProgressBar *leftBar = nullptr;
    QProgressBar *rightBar = nullptr;
    QLabel *note = nullptr;
    QMediaDevices *devices = nullptr;
    QTimer *meterTimer = nullptr;
    float leftPeak = 0;
    float rightPeak = 0;
};
