#include "nt/io_manager.h"

#include <algorithm>
#include <cstring>

#include "nt/kernel.h"

namespace tolvanex::host {

namespace {
constexpr Ticks kLateCompletion = 10 * kTicksPerMs; // how late a put-off completion comes
constexpr std::size_t kSpareBuffers = 8;                 // system buffers kept for reuse
}

std::string narrow(const UNICODE_STRING *s) {
    std::string out;
    if (!s || !s->Buffer)
        return out;
    for (USHORT i = 0; i < s->Length / 2; ++i) {
        char16_t c = s->Buffer[i];
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

ObjectNamespace::~ObjectNamespace() = default;

std::string ObjectNamespace::key(const std::string &name) {
    std::string k = name;
    std::transform(k.begin(), k.end(), k.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return k;
}

_DEVICE_OBJECT *ObjectNamespace::add_device(const std::string &name, Device &device) {
    if (name.empty() || name[0] != '\\')
        throw HostError("device name must be an absolute object name: '" + name + "'");
    auto &slot = devices_[key(name)];
    if (slot && slot->device)
        throw HostError("device already exists: " + name);
    if (slot) // removed, but a client may still point at the old object
        retired_.push_back(std::move(slot));
    slot = std::make_unique<_DEVICE_OBJECT>(_DEVICE_OBJECT{&device, name});
    rt::trace(TraceKind::Io, "device " + name + " appears");
    return slot.get();
}

void ObjectNamespace::remove_device(const std::string &name) {
    // The object stays allocated: a driver may still hold a pointer to it.
    auto it = devices_.find(key(name));
    if (it == devices_.end())
        throw HostError("no such device: " + name);
    it->second->device = nullptr;
    rt::trace(TraceKind::Io, "device " + name + " removed");
}

_DEVICE_OBJECT *ObjectNamespace::find_device(const std::string &name) const {
    std::string k = key(name);
    for (int hops = 0; hops < 8; ++hops) {
        auto l = links_.find(k);
        if (l == links_.end())
            break;
        k = key(l->second.second);
    }
    auto it = devices_.find(k);
    if (it == devices_.end() || !it->second->device)
        return nullptr;
    return it->second.get();
}

NTSTATUS ObjectNamespace::create_link(const std::string &link, const std::string &target) {
    if (link.empty() || link[0] != '\\')
        return STATUS_OBJECT_NAME_INVALID;
    auto k = key(link);
    if (links_.count(k) || devices_.count(k))
        return STATUS_OBJECT_NAME_COLLISION;
    links_[k] = {link, target};
    return STATUS_SUCCESS;
}

NTSTATUS ObjectNamespace::delete_link(const std::string &link) {
    return links_.erase(key(link)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

bool ObjectNamespace::link_exists(const std::string &link) const { return links_.count(key(link)) > 0; }

std::string ObjectNamespace::link_target(const std::string &link) const {
    auto it = links_.find(key(link));
    return it == links_.end() ? std::string() : it->second.second;
}

std::vector<std::string> ObjectNamespace::links() const {
    std::vector<std::string> out;
    for (auto &[k, v] : links_)
        out.push_back(v.first);
    return out;
}

_FILE_OBJECT *ObjectNamespace::new_file(_DEVICE_OBJECT *device) {
    files_.push_back(std::make_unique<_FILE_OBJECT>(_FILE_OBJECT{device}));
    if (device->device)
        device->device->open();
    return files_.back().get();
}

bool ObjectNamespace::is_file(const void *object) const {
    for (auto &f : files_)
        if (f.get() == object)
            return true;
    return false;
}

void ObjectNamespace::dereference_file(_FILE_OBJECT *file) {
    if (file->references <= 0)
        rt::violation("api.bad-argument", "a file object dereferenced more often than it was referenced");
    if (--file->references == 0) {
        rt::trace(TraceKind::Io, "last reference to the file object of " + file->device->name + " released");
        if (file->device->device)
            file->device->device->cleanup();
    }
}

_IRP *ObjectNamespace::build(ULONG code, _DEVICE_OBJECT *device, PVOID in, ULONG in_len, PVOID out, ULONG out_len,
                             PKEVENT event, PIO_STATUS_BLOCK iosb) {
    auto irp = std::make_unique<_IRP>();
    irp->id = next_irp_++;
    irp->code = code;
    irp->target = device;
    // A buffer a completed request left is reused: it starts empty, and
    // whatever it held before is overwritten or cleared below.
    if (!spare_buffers_.empty()) {
        irp->system_buffer = std::move(spare_buffers_.back());
        spare_buffers_.pop_back();
        irp->system_buffer.clear();
    }
    // The input is copied in; only what lies past it starts cleared.
    if (in && in_len) {
        const auto *bytes = static_cast<const unsigned char *>(in);
        irp->system_buffer.assign(bytes, bytes + in_len);
    }
    irp->system_buffer.resize(std::max(in_len, out_len));
    irp->input_length = in_len;
    irp->output_length = out_len;
    irp->user_buffer = out;
    irp->event = event;
    irp->io_status = iosb;
    irp->issuer = Kernel::running().current().name;
    _IRP *raw = irp.get();
    irps_.push_back(std::move(irp));
    return raw;
}

std::vector<std::unique_ptr<_IRP>>::iterator ObjectNamespace::find_irp(const _IRP *irp) {
    return std::find_if(irps_.begin(), irps_.end(), [irp](const auto &p) { return p.get() == irp; });
}

NTSTATUS ObjectNamespace::call(_DEVICE_OBJECT *device, _IRP *irp) {
    if (!outstanding(irp))
        rt::violation("api.bad-argument", "IofCallDriver with a request the I/O manager never built");
    irp->sent = true;
    if (!device || !device->device) {
        complete(irp, STATUS_NO_SUCH_DEVICE, 0);
        return STATUS_NO_SUCH_DEVICE;
    }
    NTSTATUS status = device->device->dispatch(*irp);
    // A completion put off past the dispatch is one the device pended.
    if (outstanding(irp) && irp->late)
        status = STATUS_PENDING;
    if (status == STATUS_PENDING && outstanding(irp))
        irp->pending = true;
    return status;
}

void ObjectNamespace::complete(_IRP *irp, NTSTATUS status, ULONG_PTR information) {
    auto it = find_irp(irp);
    if (it == irps_.end())
        throw HostError("completion of a request that is not outstanding");
    // A lower driver may complete from another context later than it could
    // have, so completions reach the issuer late and out of order.
    if (irp->sent && !irp->late && rt::fault("IoCompleteRequest.late")) {
        irp->late = true;
        rt::trace(TraceKind::Io, "request " + std::to_string(irp->id) + " completes late");
        Kernel &k = Kernel::running();
        k.spawn("late-completion", ContextKind::Thread, [this, irp, status, information] {
            Kernel &kernel = Kernel::running();
            kernel.block(irp, kernel.now() + kLateCompletion); // nothing wakes it: it times out
            if (outstanding(irp))
                complete(irp, status, information);
        });
        return;
    }
    ULONG_PTR n = std::min<ULONG_PTR>(information, irp->output_length);
    if (NT_SUCCESS(status) && irp->user_buffer && n)
        std::memcpy(irp->user_buffer, irp->system_buffer.data(), n);
    if (irp->io_status) {
        irp->io_status->u.Status = status;
        irp->io_status->Information = NT_SUCCESS(status) ? n : 0;
    }
    PKEVENT event = irp->event;
    if (spare_buffers_.size() < kSpareBuffers)
        spare_buffers_.push_back(std::move(irp->system_buffer));
    irps_.erase(it);
    if (event)
        KeSetEvent(event, 0, FALSE);
}

std::vector<std::string> ObjectNamespace::outstanding() const {
    std::vector<std::string> out;
    for (auto &irp : irps_)
        out.push_back("request " + std::to_string(irp->id) + " from " + irp->issuer +
                      (irp->sent ? " pending at " + (irp->target ? irp->target->name : std::string("?"))
                                 : std::string(" built and never sent")));
    return out;
}

} // namespace tolvanex::host

using namespace tolvanex::host;

extern "C" NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                                   PFILE_OBJECT *FileObject, PDEVICE_OBJECT *DeviceObject) {
    (void)DesiredAccess;
    rt::require_passive("IoGetDeviceObjectPointer");
    rt::require_no_lock("IoGetDeviceObjectPointer");
    Host &h = Host::current();
    std::string name = narrow(ObjectName);
    NTSTATUS status = STATUS_SUCCESS;
    _DEVICE_OBJECT *dev = nullptr;
    if (rt::fault("IoGetDeviceObjectPointer"))
        status = STATUS_INSUFFICIENT_RESOURCES;
    else if (!(dev = h.objects().find_device(name)))
        status = STATUS_OBJECT_NAME_NOT_FOUND;
    if (NT_SUCCESS(status)) {
        *DeviceObject = dev;
        *FileObject = h.objects().new_file(dev);
    }
    rt::trace(TraceKind::Io, "io.open", "IoGetDeviceObjectPointer {device} -> {status}",
              {tf::text("device", name), tf::named("status", static_cast<std::uint32_t>(status),
                                                   nt_status_name(static_cast<std::uint32_t>(status)))});
    h.kernel().yield();
    return status;
}

extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                                    PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                                    ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                                    PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    (void)InternalDeviceIoControl;
    rt::require_passive("IoBuildDeviceIoControlRequest");
    if (rt::fault("IoBuildDeviceIoControlRequest"))
        return nullptr;
    return Host::current().objects().build(IoControlCode, DeviceObject, InputBuffer, InputBufferLength, OutputBuffer,
                                           OutputBufferLength, Event, IoStatusBlock);
}

extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    rt::require_passive("IofCallDriver");
    rt::require_no_lock("IofCallDriver");
    Host &h = Host::current();
    h.kernel().yield();
    return h.objects().call(DeviceObject, Irp);
}

extern "C" NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    rt::require_passive("IoCreateSymbolicLink");
    rt::require_no_lock("IoCreateSymbolicLink");
    std::string link = narrow(SymbolicLinkName), target = narrow(DeviceName);
    NTSTATUS status = rt::fault("IoCreateSymbolicLink") ? STATUS_INSUFFICIENT_RESOURCES
                                                         : Host::current().objects().create_link(link, target);
    rt::trace(TraceKind::Io, "io.link", "IoCreateSymbolicLink {link} -> {device} = {status}",
              {tf::text("link", link), tf::text("device", target),
               tf::named("status", static_cast<std::uint32_t>(status), nt_status_name(static_cast<std::uint32_t>(status)))});
    return status;
}

extern "C" NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    rt::require_passive("IoDeleteSymbolicLink");
    rt::require_no_lock("IoDeleteSymbolicLink");
    std::string link = narrow(SymbolicLinkName);
    NTSTATUS status = Host::current().objects().delete_link(link);
    rt::trace(TraceKind::Io, "io.unlink", "IoDeleteSymbolicLink {link} = {status}",
              {tf::text("link", link), tf::named("status", static_cast<std::uint32_t>(status),
                                                 nt_status_name(static_cast<std::uint32_t>(status)))});
    return status;
}
