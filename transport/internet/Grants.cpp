#include "transport/internet/Grants.h"

#include <sys/stat.h>

#include "platform/Trace.h"

namespace pppp {

CGrants::CGrants(const CRendezvousConfig& config) : m_strPath(config.path) {
    Take(config);
    struct stat st {};
    if (!m_strPath.empty() && ::stat(m_strPath.c_str(), &st) == 0) {
        m_mtime = st.st_mtim;
        m_size = st.st_size;
        m_inode = st.st_ino;
    }
}

void CGrants::Take(const CRendezvousConfig& config) {
    if (config.viewers)
        m_viewers.emplace(config.viewers->begin(), config.viewers->end());
    else
        m_viewers.reset();
}

void CGrants::ReloadIfChanged() {
    struct stat st {};
    if (::stat(m_strPath.c_str(), &st) != 0) {
        if (m_size == -1) return;
        ZTRACE("internet route: the rendezvous file is gone; no viewer is granted\n");
        m_viewers.emplace();
        m_size = -1;
        return;
    }
    const bool same = st.st_mtim.tv_sec == m_mtime.tv_sec && st.st_mtim.tv_nsec == m_mtime.tv_nsec &&
                      st.st_size == m_size && st.st_ino == m_inode;
    if (same) return;
    m_mtime = st.st_mtim;
    m_size = st.st_size;
    m_inode = st.st_ino;
    CRendezvousConfig fresh;
    std::string problem;
    if (ReadRendezvousFile(m_strPath, &fresh, &problem) != RendezvousLoad::Loaded) {
        ZTRACE("internet route: %s; no viewer is granted until it is mended\n", problem.c_str());
        m_viewers.emplace();
        return;
    }
    Take(fresh);
    ZTRACE("internet route: grants read again (%zu viewers)\n", m_viewers ? m_viewers->size() : size_t{0});
}

CGrants::Verdict CGrants::Check(const std::string& viewer, uint64_t nowMs) {
    if (!m_strPath.empty() && (!m_bChecked || nowMs - m_checkedMs >= kRecheckMs)) {
        m_bChecked = true;
        m_checkedMs = nowMs;
        ReloadIfChanged();
    }
    if (!m_viewers) return Verdict::Open;
    return m_viewers->count(viewer) ? Verdict::Granted : Verdict::Denied;
}

}  // namespace pppp
