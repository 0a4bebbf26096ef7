#include "handsim/kpxbaseexception.hpp"

#include <utility>

kpxBaseException::kpxBaseException(std::string message) : m_message(std::move(message)) {}

kpxBaseException::~kpxBaseException() = default;
