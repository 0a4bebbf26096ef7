// The glove's streaming frames as glovepanel takes them off its socket: after "1S" is sent,
// everything up to the end of its echo is the tail of earlier replies or the echo itself and
// is dropped; the bytes after it are cut into 61-byte frames, in whatever pieces they arrive.
// The glove streams only after the echo, so a frame opening first means the echo is not
// coming. Qt Core only, so the window and the fuzzer share it.
#pragma once

#include <QByteArray>
#include <functional>

class FrameReassembler {
  public:
    static constexpr int kFrameSize = 61;
    // A frame opens with its time stamp "HH:MM:SS:F:FF" (the fourth field may have two
    // digits): twelve bytes of digits and ':' only, so the "1S" echo never overlaps one, and
    // a reply of the clock ("HH:MM:SS:FF" and NUL) is not taken for one.
    static constexpr qsizetype kStampLength = 12;

    enum class Echo { Waiting, Found, Missing };

    // Forgets everything (a new connection).
    void clear();
    // "1S" was just sent (or its wait is given up): look for a new echo.
    void awaitEcho();
    // Bytes received while waiting for the echo. Found: rest holds the bytes after it, which
    // start the stream. Missing: a frame opened before any echo (a "1S" within frame data is
    // not it); the bytes are dropped.
    Echo takeEcho(const QByteArray& data, QByteArray& rest);
    // Stream bytes; onFrame gets each frame as it completes.
    void takeFrameBytes(const QByteArray& data,
                        const std::function<void(const QByteArray&)>& onFrame);

    // Bytes of the frame in progress (fewer than kFrameSize).
    qsizetype pending() const { return frameBuffer_.size(); }
    // Bytes kept while looking for the echo (fewer than kStampLength).
    qsizetype echoPending() const { return echoBuffer_.size(); }

  private:
    QByteArray frameBuffer_;
    QByteArray echoBuffer_;
    // The glove may end the "1S" echo with a NUL before the first frame.
    bool skipEchoNul_ = false;
};
