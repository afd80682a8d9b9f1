#include "bandwidth_hint.h"

#include <algorithm>

#include <fmt/format.h>

#include "tool_support.h"
#include "usbcam/status_names.h"

namespace usbcam {
namespace cli {

std::vector<SettingLoad> SettingLoads(const std::vector<uint8_t> &config, uint8_t interface) {
    std::vector<SettingLoad> settings;
    bool inInterface = false;
    for (size_t at = 0; at + 2 <= config.size();) {
        const uint8_t size = config[at];
        if (size < 2 || at + size > config.size()) break;
        const uint8_t type = config[at + 1];
        if (type == 4 && size >= 9) {
            inInterface = config[at + 2] == interface;
            if (inInterface) {
                SettingLoad setting;
                setting.Alternate = config[at + 3];
                settings.push_back(setting);
            }
        } else if (type == 5 && size >= 7 && inInterface) {
            const uint8_t kind = config[at + 3] & 3;  // 1 isochronous, 3 interrupt
            if (kind == 1 || kind == 3) {
                const unsigned packet = static_cast<unsigned>(config[at + 4] | config[at + 5] << 8);
                const unsigned perInterval = (packet & 0x7FF) * (1 + ((packet >> 11) & 3));
                const unsigned interval = std::min<unsigned>(std::max<unsigned>(config[at + 6], 1), 16);
                settings.back().Load += perInterval / static_cast<double>(1u << (interval - 1));
                if (kind == 1 && (config[at + 2] & 0x80) != 0) settings.back().IsochronousIn = true;
            }
        }
        at += size;
    }
    return settings;
}

uint8_t LowerSettingToTry(const std::vector<SettingLoad> &settings, uint8_t refused, bool needIsochronousIn) {
    double refusedLoad = -1;
    for (const SettingLoad &setting : settings) {
        if (setting.Alternate == refused) refusedLoad = setting.Load;
    }
    const SettingLoad *best = nullptr;
    for (const SettingLoad &setting : settings) {
        if (setting.Alternate >= refused || setting.Load >= refusedLoad) continue;
        if (needIsochronousIn && !setting.IsochronousIn) continue;
        if (best == nullptr || setting.Load > best->Load ||
            (setting.Load == best->Load && setting.Alternate > best->Alternate)) {
            best = &setting;
        }
    }
    return best != nullptr ? best->Alternate : 0;
}

bool NoBandwidthFailure(Camera *camera, const std::string &asked, uint8_t interface, uint8_t alternate,
                        bool needIsochronousIn, std::string *error) {
    const int32_t lastUsb = LastUsbStatus(camera);
    if (lastUsb != kUsbdNoBandwidth) return false;
    // The configuration descriptor's length, then all of it.
    std::vector<uint8_t> config(9);
    IoOutcome outcome = camera->GetConfigDescriptor(config.data(), 9);
    if (!IsNtSuccess(outcome.Status) || outcome.Information < 9) return false;
    config.resize(static_cast<size_t>(config[2] | config[3] << 8));
    if (config.size() < 9) return false;
    outcome = camera->GetConfigDescriptor(config.data(), static_cast<uint32_t>(config.size()));
    if (!IsNtSuccess(outcome.Status)) return false;
    config.resize(static_cast<size_t>(std::min<uint64_t>(outcome.Information, config.size())));
    const std::vector<SettingLoad> settings = SettingLoads(config, interface);
    bool has = false;
    for (const SettingLoad &setting : settings) has = has || setting.Alternate == alternate;
    // A setting the camera does not have leaves the last USB status as it
    // was: an earlier refusal must not be taken for this one's.
    if (!has) return false;
    *error = fmt::format(
        "{}: not enough bus bandwidth for this setting (another device holds it), last USB status {}; try: "
        "setting {} or another USB controller",
        asked, FormatUsbdStatus(static_cast<uint32_t>(lastUsb)),
        LowerSettingToTry(settings, alternate, needIsochronousIn));
    return true;
}

}  // namespace cli
}  // namespace usbcam
