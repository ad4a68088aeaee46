// The object namespace (devices by name, symbolic links) and the I/O
// manager's part of device I/O control: requests that pend and complete.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host.h"
#include "ntkernel.h"

namespace tolvanex::host {

class Device;

} // namespace tolvanex::host

struct _DEVICE_OBJECT {
    tolvanex::host::Device *device;
    std::string name;
};

struct _FILE_OBJECT {
    _DEVICE_OBJECT *device;
    int references = 1;
};

// A buffered device I/O control request.
struct _IRP {
    std::uint64_t id = 0;
    ULONG code = 0;
    _DEVICE_OBJECT *target = nullptr;
    std::vector<unsigned char> system_buffer; // METHOD_BUFFERED copy
    ULONG input_length = 0;
    ULONG output_length = 0;
    PVOID user_buffer = nullptr; // where the answer is copied back
    PKEVENT event = nullptr;
    PIO_STATUS_BLOCK io_status = nullptr;
    bool sent = false;
    bool pending = false;
    bool late = false;  // its completion was put off (fault IoCompleteRequest.late)
    std::string issuer; // context that built it
};

namespace tolvanex::host {

// A device of the host, reached through IofCallDriver.
class Device {
  public:
    virtual ~Device() = default;
    // Called in the caller's context. Complete the request through
    // ObjectNamespace::complete, or return STATUS_PENDING and complete later.
    virtual NTSTATUS dispatch(_IRP &irp) = 0;
    // A client opened the device, or released its last reference to the
    // file object it opened: a device completes that client's requests.
    virtual void open() {}
    virtual void cleanup() {}
};

class ObjectNamespace {
  public:
    ObjectNamespace() = default;
    ~ObjectNamespace();

    _DEVICE_OBJECT *add_device(const std::string &name, Device &device);
    void remove_device(const std::string &name);
    _DEVICE_OBJECT *find_device(const std::string &name) const;

    NTSTATUS create_link(const std::string &link, const std::string &target);
    NTSTATUS delete_link(const std::string &link);
    bool link_exists(const std::string &link) const;
    std::string link_target(const std::string &link) const;
    std::vector<std::string> links() const;

    _IRP *build(ULONG code, _DEVICE_OBJECT *device, PVOID in, ULONG in_len, PVOID out, ULONG out_len, PKEVENT event,
                PIO_STATUS_BLOCK iosb);
    NTSTATUS call(_DEVICE_OBJECT *device, _IRP *irp);
    // Completes a request: copies the answer back, fills the status block,
    // signals the event and frees the request.
    void complete(_IRP *irp, NTSTATUS status, ULONG_PTR information);

    // Descriptions of requests built or pending and not yet completed.
    std::vector<std::string> outstanding() const;

    _FILE_OBJECT *new_file(_DEVICE_OBJECT *device);
    bool is_file(const void *object) const;
    // Drops one reference; the last one cleans up at the device.
    void dereference_file(_FILE_OBJECT *file);

  private:
    static std::string key(const std::string &name);
    std::map<std::string, std::unique_ptr<_DEVICE_OBJECT>> devices_;
    std::vector<std::unique_ptr<_DEVICE_OBJECT>> retired_;
    std::map<std::string, std::pair<std::string, std::string>> links_; // key -> (name, target)
    // Outstanding requests in the order they were built: a handful at most,
    // so a search of the list beats a tree node per request.
    std::vector<std::unique_ptr<_IRP>> irps_;
    std::vector<std::unique_ptr<_IRP>>::iterator find_irp(const _IRP *irp);
    bool outstanding(const _IRP *irp) { return find_irp(irp) != irps_.end(); }
    // System buffers of completed requests, kept for the next ones to build.
    std::vector<std::vector<unsigned char>> spare_buffers_;
    std::vector<std::unique_ptr<_FILE_OBJECT>> files_;
    std::uint64_t next_irp_ = 1;
};

// UTF-16 counted string to UTF-8 (non-ASCII as '?'), for names and traces.
std::string narrow(const UNICODE_STRING *s);

} // namespace tolvanex::host

struct _DRIVER_OBJECT {
    std::string name;
};
