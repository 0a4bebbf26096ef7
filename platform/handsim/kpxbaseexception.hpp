#pragma once
// Error type of the hand-simulation toolkit. Toolkit operations throw a heap-allocated
// kpxBaseException by pointer (`throw new kpxBaseException(...)`); the handler owns the
// object and deletes it after reading its message.

#include <string>

class kpxBaseException {
  public:
    explicit kpxBaseException(std::string message);
    virtual ~kpxBaseException();

    // The message text; valid while the exception lives.
    const char* getMessage() const { return m_message.c_str(); }
    const std::string& message() const { return m_message; }

  private:
    std::string m_message;
};
