#pragma once
// CCameraXU: the camera command channel. Through it the service lists the
// cameras, opens the extension unit of the selected one, sends the camera its
// one-byte commands and asks for its status. Every use is one short sequence:
// Open, one or two requests, Close.
//
// The library behind the channel has a single state, so sequences must never
// overlap. A caller holds the channel's sequence lock for a whole sequence:
//
//   {
//       CCameraXU::CSequence sequence = m_camXU.BeginSequence();
//       m_camXU.Open(selection);
//       m_camXU.SendCommand(kCameraCommandBeforeMode, 0);
//       m_camXU.SendCommand(kCameraCommandMode, mode);
//       m_camXU.Close();
//   }
//
// Open, SendCommand, Query and Close refuse (false, nothing sent) on a thread
// that does not hold the sequence. The lock is held across the camera calls
// (a status query holds it for at least 500 ms), so a caller never takes it
// while holding another lock, and never takes another lock inside it.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace camera {

// The camera's command codes.
inline constexpr uint8_t kCameraCommandMode = 20;        // value: the camera mode 0 to 3
inline constexpr uint8_t kCameraCommandBeforeMode = 48;  // sent right before every mode command
inline constexpr uint8_t kCameraCommand49 = 49;          // accepted, sent by no caller
inline constexpr uint8_t kCameraQueryStatus = 26;        // asked value: the camera mode

// Every request selects control 1 of unit 2 with request length 4 and moves
// the library's 64-byte transfer.
inline constexpr int kCameraUnit = 2;
inline constexpr int kCameraControl = 1;
inline constexpr int kCameraRequestLength = 4;
inline constexpr uint32_t kStatusWaitMs = 500;  // between the query's SET_CUR and GET_CUR

class CCameraXU {
public:
    CCameraXU();
    virtual ~CCameraXU();
    CCameraXU(const CCameraXU&) = delete;
    CCameraXU& operator=(const CCameraXU&) = delete;

    // The sequence lock, held from BeginSequence until the guard goes. A
    // sequence left open (Open without Close) is closed when the guard goes.
    class CSequence {
    public:
        CSequence(CSequence&& other) noexcept;
        CSequence& operator=(CSequence&&) = delete;
        ~CSequence();

    private:
        friend class CCameraXU;
        explicit CSequence(CCameraXU& channel);
        CCameraXU* m_pChannel;
    };
    [[nodiscard]] CSequence BeginSequence();

    // Lists the cameras, in device-position order; the position of a name is
    // the index Open takes. Runs as a sequence of its own unless the calling
    // thread holds one. The array is written only here.
    const std::vector<std::u16string>& GetDeviceList();

    // True when the camera's extension unit is ready.
    bool Open(int index);
    void Close();
    // 20 (with `value`), 48 or 49: true when the SET_CUR succeeded.
    bool SendCommand(uint8_t code, uint8_t value);
    // 26: the high four bits of *io are the asked value; on success *io is the
    // camera's answer byte. 48 and 49 (and a null io) send nothing and succeed.
    bool Query(uint8_t code, uint8_t* io);

    // Whether the calling thread holds the sequence lock.
    bool InSequence() const { return m_ownerThread.load() == std::this_thread::get_id(); }

private:
    bool Usable(const char* operation) const;
    void SelectCommandControl() const;
    void FillDeviceList();

    uint8_t m_bEnabled;
    std::vector<std::u16string> m_astrDeviceNames;

    std::mutex m_sequenceLock;
    std::atomic<std::thread::id> m_ownerThread{};
    bool m_bOpen = false;  // Open called and Close not yet; touched only under the sequence lock
};

}  // namespace camera
