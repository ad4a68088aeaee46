// The maker's ISDN driver, \Device\PIMISDND, served through its contract
// only. In scripted mode every command is recorded and waits for the test's
// answer (or a standing rule's), and a read stays pending until a message
// is queued for its handle. In exchange mode (use_exchange) the same
// records are kept, but the exchange (isdn_exchange.h) answers every
// command and produces the messages.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nt/io_manager.h"
#include "pimisdn.h"

namespace tolvanex::host {

class IsdnExchange;

// A message the ISDN driver hands to a read.
struct IsdnMessage {
    std::uint8_t code = 0;        // APP_*
    std::optional<std::uint8_t> handle; // hCom written in the answer (APP_CONN_IN: the new call's)
    std::string number;           // called_number (APP_CONN_IN: the calling number)
    std::uint8_t cause = 0;       // APP_CLEAR_IN
    std::vector<std::uint8_t> data; // APP_DATA_IN
    std::uint32_t status = 0;     // non-zero: the read fails
    // Malformed input from below: the number's bytes fill called_number as
    // they are (up to 33, no NUL added), and data_length is written as
    // given whatever the data holds (the data copied stays within the room).
    bool raw_number = false;
    std::optional<std::uint16_t> data_length;
};

// An answer to a command as the ISDN driver could botch it: any bytes over
// the block, any status and handle, any byte count returned.
struct IsdnRawAnswer {
    std::optional<std::uint32_t> status;
    std::optional<std::uint8_t> handle;
    std::size_t at = 0;                   // where `bytes` go in the block
    std::vector<std::uint8_t> bytes;      // written over the block as it came
    std::optional<std::uint32_t> length;  // IoStatus.Information; default the whole block
};

struct IsdnCommandRecord {
    std::uint64_t id = 0;
    Ticks time = 0;
    std::uint64_t order = 0; // Host::next_order
    std::string context;
    std::uint8_t command = 0, code = 0, hcom = 0;
    std::string local_address, called_number;
    std::vector<std::uint8_t> block; // the block as it arrived; empty once answered, unless kept
    std::uint32_t data_length = 0;   // a send's data length, kept when the block goes
    bool has_data_length = false;
    bool answered = false;
    std::uint32_t status = 0;
    std::optional<std::uint8_t> answer_hcom;
    _IRP *irp = nullptr; // while unanswered
};

class IsdnDriver : public Device {
  public:
    explicit IsdnDriver(Host &host);
    ~IsdnDriver() override;

    // The device appears in (or leaves) the object namespace.
    void attach();
    void detach();
    bool attached() const { return device_ != nullptr; }

    NTSTATUS dispatch(_IRP &irp) override;
    void open() override { ++clients_; }
    // The client let go of the device: every request it left here ends.
    void cleanup() override;
    int clients() const { return clients_; }

    // Commands other than reads, in arrival order.
    const std::vector<IsdnCommandRecord> &commands() const { return commands_; }
    // A long run need not keep every block: without this, a command's
    // block goes once the command is answered.
    void keep_blocks(bool keep) { keep_blocks_ = keep; }
    // The oldest command still waiting for an answer, if any.
    const IsdnCommandRecord *next_unanswered() const;
    // Switches to exchange mode for good (the same exchange on every call).
    // HostError while a command still waits for the test's answer.
    IsdnExchange &use_exchange();
    bool exchange_mode() const { return exchange_ != nullptr; }
    // HostError unless in exchange mode.
    IsdnExchange &exchange();

    // Answers a waiting command: status, and the handle for call and listen.
    // In exchange mode the exchange answers: HostError.
    void answer(std::uint64_t id, std::uint32_t status, std::optional<std::uint8_t> hcom = {});
    // Answers a waiting command with a raw answer (scripted mode only).
    // HostError when the bytes fall outside the block.
    void answer_raw(std::uint64_t id, const IsdnRawAnswer &answer);
    // Ends a waiting command with a failing I/O status; the block is not
    // written back. HostError in exchange mode.
    void fail(std::uint64_t id, NTSTATUS io_status);
    // A standing rule: later commands of (command, code) are answered at once.
    void auto_answer(std::uint8_t command, std::uint8_t code, std::uint32_t status,
                     std::optional<std::uint8_t> hcom = {});
    void clear_rules() { rules_.clear(); }

    // Called in the issuing context as each command arrives, before it is
    // answered: lets a test act at that exact point of the driver's run.
    void on_command(std::function<void(const IsdnCommandRecord &)> hook) { on_command_ = std::move(hook); }

    // Queues a message for `handle`; a read pending on it completes now.
    void queue_message(std::uint8_t handle, IsdnMessage message);
    std::size_t pending_reads(std::uint8_t handle) const;
    std::size_t pending_reads() const;
    std::size_t reads_issued() const { return reads_; }

    static std::string command_name(std::uint8_t command, std::uint8_t code);
    static std::string message_name(std::uint8_t code);

  private:
    friend class IsdnExchange;
    struct Rule {
        std::uint8_t command, code;
        std::uint32_t status;
        std::optional<std::uint8_t> hcom;
    };
    void finish(_IRP &irp, std::uint32_t status, std::optional<std::uint8_t> hcom);
    // Cancels every read and waiting command; calls and listens end.
    void end_requests(const char *why);
    void deliver(_IRP &irp, const IsdnMessage &m);
    void settle(std::uint64_t id, std::uint32_t status, std::optional<std::uint8_t> hcom);
    // For the exchange: queue without delivering (no context switch), then
    // deliver to every read that has a message waiting.
    void post(std::uint8_t handle, IsdnMessage message);
    void pump();
    // Messages left for a handle given out anew are dropped.
    void discard(std::uint8_t handle);
    // Command `id`, still waiting for its answer; HostError otherwise.
    IsdnCommandRecord &unanswered(std::uint64_t id);
    Host &host_;
    _DEVICE_OBJECT *device_ = nullptr;
    std::vector<IsdnCommandRecord> commands_;
    bool keep_blocks_ = true;
    // The storage of the last block dropped, reused for the next command's.
    std::vector<std::uint8_t> spare_block_;
    std::vector<Rule> rules_;
    std::map<std::uint8_t, std::deque<_IRP *>> reads_pending_;
    std::map<std::uint8_t, std::deque<IsdnMessage>> messages_;
    std::size_t reads_ = 0;
    int clients_ = 0;
    std::function<void(const IsdnCommandRecord &)> on_command_;
    std::unique_ptr<IsdnExchange> exchange_;
};

} // namespace tolvanex::host
