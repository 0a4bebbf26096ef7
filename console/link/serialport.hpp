#pragma once
// The console's serial transport: one open, exclusively held tty in raw 8N1 with no flow
// control and no character translation (0x03, 0x11, 0x13 and CR are data). Used only from the
// thread that owns the glove link.

#include <cstdint>
#include <string>

class SerialPort {
  public:
    // Opens and configures the device (a path such as "/dev/ttyUSB0"; a bare name is looked up
    // under /dev). Throws std::runtime_error with "ERROR: Could not open com port",
    // "ERROR: Could not set com port time-outs" or "ERROR: Could not set com port parameters".
    SerialPort(const char* portName, uint32_t baudRate);
    virtual ~SerialPort();

    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // One write of count bytes (bounded by 100 ms + 1 ms per byte); returns bytes written.
    int write(const void* bytes, int count);
    // Writes the text without its NUL.
    int writeString(const char* text);
    // Returns at once with what is waiting, else waits up to 100 ms for the first byte. Reads
    // at most size bytes, or size - 1 when terminate is set, in which case a NUL follows the
    // bytes read. Returns 0 when nothing arrived or the read failed.
    int read(void* buffer, int size, bool terminate);
    // Reads 1024-byte chunks until a read returns nothing (bounded in time).
    void drain();
    // True once the line has gone: the adapter was unplugged or the far end of a
    // pseudo-terminal closed. Such a port never comes back; open the device anew.
    bool hungUp() const;

    static constexpr int kFirstByteTimeoutMs = 100;

  private:
    int fd_ = -1;
};

// The texts SerialPort throws.
inline constexpr const char* kSerialOpenError = "ERROR: Could not open com port";
inline constexpr const char* kSerialTimeoutsError = "ERROR: Could not set com port time-outs";
inline constexpr const char* kSerialParamsError = "ERROR: Could not set com port parameters";
