#include "xulib/v4l2/V4l2DeviceAccess.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

#include "platform/Text.h"
#include "platform/Trace.h"
#include "xulib/UvcDescriptors.h"

namespace nodrik {
namespace fs = std::filesystem;

namespace {

// Larger than any real descriptor set; a bound on what a broken file can cost.
constexpr std::streamsize kMaxDescriptorBytes = 1 << 20;

// The video nodes under `devRoot` as (N, "videoN"), in the order of N.
std::vector<std::pair<unsigned, std::string>> ListVideoNodes(const std::string& devRoot) {
    std::vector<std::pair<unsigned, std::string>> nodes;
    std::error_code ec;
    for (fs::directory_iterator it(devRoot, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= 5 || name.compare(0, 5, "video") != 0) continue;
        unsigned number = 0;
        const char* first = name.data() + 5;
        const char* last = name.data() + name.size();
        auto [p, err] = std::from_chars(first, last, number);
        if (err != std::errc() || p != last) continue;
        nodes.emplace_back(number, name);
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

bool IsCaptureNode(const V4l2Capability& cap) {
    const uint32_t caps = (cap.dwCapabilities & kV4l2CapDeviceCaps) ? cap.dwDeviceCaps : cap.dwCapabilities;
    return (caps & (kV4l2CapVideoCapture | kV4l2CapVideoCaptureMplane)) != 0;
}

class CV4l2Node final : public IXuNode {
public:
    CV4l2Node(IV4l2Sys& sys, int fd, std::string nodeName, std::string sysRoot, std::string driver)
        : m_sys(sys), m_fd(fd), m_strNode(std::move(nodeName)), m_strSysRoot(std::move(sysRoot)),
          m_strDriver(std::move(driver)) {}
    ~CV4l2Node() override { m_sys.Close(m_fd); }

    bool HasXuAccess() const override { return m_strDriver == "uvcvideo"; }

    bool ReadExtensionUnits(const std::vector<XuGuid>&, std::vector<XuUnit>& units) override {
        return ReadSysfsExtensionUnits(m_strSysRoot, m_strNode, units);
    }

    int XuQuery(uint8_t unit, uint8_t selector, uint8_t query, uint16_t size, uint8_t* data) override {
        return m_sys.XuQuery(m_fd, unit, selector, query, size, data);
    }

private:
    IV4l2Sys& m_sys;
    int m_fd;
    std::string m_strNode;
    std::string m_strSysRoot;
    std::string m_strDriver;
};

}  // namespace

bool ReadSysfsExtensionUnits(const std::string& sysRoot, const std::string& nodeName, std::vector<XuUnit>& units) {
    units.clear();
    std::error_code ec;
    const fs::path interfaceDir = fs::canonical(fs::path(sysRoot) / "class" / "video4linux" / nodeName / "device", ec);
    if (ec) {
        ZTRACE("%s: no device link (%s)\n", nodeName.c_str(), ec.message().c_str());
        return false;
    }
    // A USB interface directory is named <bus-port>:<config>.<interface>.
    const std::string dirName = interfaceDir.filename().string();
    const size_t colon = dirName.rfind(':');
    const size_t dot = dirName.rfind('.');
    int config = 0, interfaceNumber = 0;
    if (colon == std::string::npos || dot == std::string::npos || dot < colon ||
        std::from_chars(dirName.data() + colon + 1, dirName.data() + dot, config).ptr != dirName.data() + dot ||
        std::from_chars(dirName.data() + dot + 1, dirName.data() + dirName.size(), interfaceNumber).ptr !=
            dirName.data() + dirName.size()) {
        ZTRACE("%s: %s is no USB interface\n", nodeName.c_str(), dirName.c_str());
        return false;
    }
    std::ifstream file(interfaceDir.parent_path() / "descriptors", std::ios::binary);
    if (!file) {
        ZTRACE("%s: descriptors unreadable\n", nodeName.c_str());
        return false;
    }
    std::vector<uint8_t> blob(static_cast<size_t>(kMaxDescriptorBytes));
    file.read(reinterpret_cast<char*>(blob.data()), kMaxDescriptorBytes);
    blob.resize(static_cast<size_t>(file.gcount()));
    if (!ParseExtensionUnits(blob.data(), blob.size(), config, interfaceNumber, units)) {
        ZTRACE("%s: no VideoControl interface %d in configuration %d\n", nodeName.c_str(), interfaceNumber, config);
        return false;
    }
    return true;
}

CV4l2DeviceAccess::CV4l2DeviceAccess(IV4l2Sys& sys, std::string devRoot, std::string sysRoot)
    : m_sys(sys), m_strDevRoot(std::move(devRoot)), m_strSysRoot(std::move(sysRoot)) {}

bool CV4l2DeviceAccess::FindDevice(int position, std::u16string& name, std::shared_ptr<IXuNode>& node) {
    if (position < 0) return false;
    int counter = 0;
    for (const auto& [number, nodeName] : ListVideoNodes(m_strDevRoot)) {
        const std::string path = (fs::path(m_strDevRoot) / nodeName).string();
        int fd = -1;
        if (const int err = m_sys.Open(path, fd); err != 0) {
            // Unreadable, so perhaps a capture node: it keeps its place.
            ZTRACE("%s: open failed, errno %d\n", path.c_str(), err);
            if (++counter > position) return false;
            continue;
        }
        V4l2Capability cap;
        const int err = m_sys.QueryCap(fd, cap);
        if (err == 0 && !IsCaptureNode(cap)) {
            m_sys.Close(fd);
            continue;
        }
        if (err == 0 && !cap.strCard.empty() && counter == position) {
            name = platform::Utf8ToUtf16(cap.strCard);
            node = std::make_shared<CV4l2Node>(m_sys, fd, nodeName, m_strSysRoot, cap.strDriver);
            return true;
        }
        if (err != 0) ZTRACE("%s: VIDIOC_QUERYCAP failed, errno %d\n", path.c_str(), err);
        m_sys.Close(fd);
        if (++counter > position) return false;
    }
    return false;
}

std::unique_ptr<IXuDeviceAccess> CreateSystemDeviceAccess() {
    return std::make_unique<CV4l2DeviceAccess>(RealV4l2Sys(), "/dev", "/sys");
}

// Closing a device node is safe at any time, the end of the process included.
bool ProcessIsEnding() { return false; }

std::vector<V4l2CaptureNode> ListCaptureNodes(IV4l2Sys& sys, const std::string& devRoot) {
    std::vector<V4l2CaptureNode> found;
    for (const auto& [number, nodeName] : ListVideoNodes(devRoot)) {
        V4l2CaptureNode node{(fs::path(devRoot) / nodeName).string(), {}};
        int fd = -1;
        if (sys.Open(node.strPath, fd) != 0) {
            found.push_back(std::move(node));
            continue;
        }
        V4l2Capability cap;
        const int err = sys.QueryCap(fd, cap);
        sys.Close(fd);
        if (err == 0 && !IsCaptureNode(cap)) continue;
        if (err == 0) node.strName = platform::Utf8ToUtf16(cap.strCard);
        found.push_back(std::move(node));
    }
    return found;
}

}  // namespace nodrik
