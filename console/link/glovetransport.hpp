#pragma once
// The two lines a GloveLink talks over: the glove's serial port and an accepted TCP socket.
// Each carries its own way of writing a command and collecting the echo and the NUL-ended
// reply (pacing, flood handling, draining an over-long reply), so the link's exchanges need
// not know which line they use.
//
// Thread: used only from the thread that owns the link.

#include "link/serialport.hpp"

#include <chrono>
#include <memory>

class QTcpSocket;

// Pauses and time-outs that pace the glove's slow command interpreter. The defaults are the
// glove's; unit tests shorten them.
struct GloveTiming {
    using ms = std::chrono::milliseconds;
    ms serialWritePause{250};    // after every serial write of an exchange
    ms splitFirstPause{500};     // between the command letters and the argument
    ms splitSecondPause{200};    // serial: after the argument, before the echo
    ms splitReplyPause{2000};    // before the reply of a split exchange is read
    ms tcpEchoTimeout{30000};    // TCP echo wait; also the per-wait step of the frame reader
    ms tcpReplyTimeout{3000};    // TCP NUL phase: stop quietly after this much silence
    ms readGiveUp{30000};        // frame reader and download echo: overall limit
    ms downloadIdleLimit{6000};  // a download ends after this long without data
    ms downloadEmptyPause{50};   // after an empty download chunk
    ms downloadStartPause{50};   // after the download command's echo
    ms hardwareWritePause{200};  // after "CA"
    ms tcpDownloadWait{3000};    // TCP download: wait for data per chunk
    ms reconnectInterval{1000};  // between attempts to open a serial line that went away
};

class GloveTransport {
  public:
    // How a command is answered: its echo, then a reply up to its NUL. flood marks commands
    // sent while the glove may be streaming (a backlog must not be taken for the echo).
    struct Reply {
        bool echo;
        bool nul;
        bool flood;
    };

    virtual ~GloveTransport() = default;

    virtual bool isSerial() const = 0;
    // Lets go of the line (the socket is closed, the port released).
    virtual void close() = 0;
    // True once the line is gone for good (port hung up, connection closed or reset); what
    // is left of it can only be closed.
    virtual bool lost() const = 0;
    // Writes all length bytes; false when the line took fewer.
    virtual bool write(const char* bytes, int length) = 0;
    // Returns at once with what is waiting, else waits up to wait (the serial line: its own
    // first-byte time-out) for the first byte. 0 when nothing came, -1 when the line is gone.
    virtual int read(char* out, int capacity, std::chrono::milliseconds wait) = 0;
    // One command and its reply into reply (zeroed by the caller); the reply's byte count, or
    // -1 when the echo never came.
    virtual int exchange(const char* cmd, int length, Reply kind, char* reply, int capacity) = 0;
    // The same with the command letters and the argument written apart, for commands the
    // glove takes slowly.
    virtual int splitExchange(const char* cmd, int length, Reply kind, char* reply,
                              int capacity) = 0;
};

class SerialTransport final : public GloveTransport {
  public:
    // Takes the open port; timing must outlive the transport.
    SerialTransport(std::unique_ptr<SerialPort> port, const GloveTiming& timing);

    bool isSerial() const override { return true; }
    void close() override;
    bool lost() const override;
    bool write(const char* bytes, int length) override;
    int read(char* out, int capacity, std::chrono::milliseconds wait) override;
    int exchange(const char* cmd, int length, Reply kind, char* reply, int capacity) override;
    int splitExchange(const char* cmd, int length, Reply kind, char* reply, int capacity) override;

  private:
    int echoPhase(int length, char* reply, int capacity);
    int nulPhase(int count, char* reply, int capacity);

    std::unique_ptr<SerialPort> port_;
    const GloveTiming& timing_;
};

class TcpTransport final : public GloveTransport {
  public:
    // Takes the connected socket; timing must outlive the transport.
    TcpTransport(std::unique_ptr<QTcpSocket> socket, const GloveTiming& timing);
    ~TcpTransport() override;

    bool isSerial() const override { return false; }
    void close() override;
    bool lost() const override;
    bool write(const char* bytes, int length) override;
    int read(char* out, int capacity, std::chrono::milliseconds wait) override;
    int exchange(const char* cmd, int length, Reply kind, char* reply, int capacity) override;
    int splitExchange(const char* cmd, int length, Reply kind, char* reply, int capacity) override;

  private:
    int echoPhase(int count, int length, bool flood, char* reply, int capacity);
    int nulPhase(int count, char* reply, int capacity);
    void drainReply();

    std::unique_ptr<QTcpSocket> socket_;
    const GloveTiming& timing_;
};
