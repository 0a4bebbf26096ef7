#include "handsim/kpxdevice.hpp"

#include <chrono>

double kpxNowSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

kpxDevice::kpxDevice() {
    stampUpdateTime();
}

kpxDevice::~kpxDevice() = default;

void kpxDevice::update() {
    stampUpdateTime();
}

void kpxDevice::stampUpdateTime() {
    m_lastUpdateTime = kpxNowSeconds();
}
