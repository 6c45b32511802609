// BASIC_FUNC_INQ's channel count, MEM_SAVE_CH with MEMORY_SAVE, and CUR_MEM_CH.
#include "camera/MemoryChannels.h"

#include "camera/IidcRegisters.h"

using namespace camera::iidc;

namespace {

constexpr C1394Dcam::DWORD kChannelCount = 0xF;  // BASIC_FUNC_INQ bits 3..0
constexpr int kChannelShift = 28;

}  // namespace

int MemoryChannels::Count() {
    DWORD functions = 0;
    if (!m_cam.ReadRegister(m_nCamera, kBasicFuncInq, &functions)) return -1;
    return int(functions & kChannelCount);
}

int MemoryChannels::Current() {
    DWORD value = 0;
    if (!m_cam.ReadRegister(m_nCamera, kCurMemChannel, &value)) return -1;
    return int(value >> kChannelShift);
}

bool MemoryChannels::Save(int channel) {
    return channel >= 1 && m_cam.SaveMemoryChannel(m_nCamera, channel);
}

bool MemoryChannels::Load(int channel) {
    if (channel < 0 || channel > 15) return false;
    const DWORD value = DWORD(channel) << kChannelShift;
    return m_cam.WriteRegister(m_nCamera, kCurMemChannel, &value);
}
