// The alarm sound: one player for the whole program, as the alarm windows
// expect ("close" the previous sound, then open and play the next).
#pragma once

#include <QString>

class QMediaPlayer;
class QWidget;

// Plays AFileName, looping without end when ARepeat. AControl is accepted
// for callers that pass their window; a sound has no picture to put there.
// From a thread other than the UI thread the call is posted there. A
// machine without an audio output plays nothing, quietly.
void PlaySoundFile(QWidget* AControl, const QString& AFileName, bool ARepeat);
void StopSound();

// Sound/Alarm.mp3 among the program's data (ProgramDataFile).
QString AlarmSoundFileName();
// Whether the machine has somewhere to play to. $TERVOX_AUDIO "off" or
// "on" overrides what is found.
bool SoundOutputPresent();
// The player of the sound now open; nullptr when none.
QMediaPlayer* SoundPlayer();
