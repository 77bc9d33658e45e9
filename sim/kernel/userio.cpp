// userio.cpp - the user-mode side of the I/O manager: opening a name,
// read, write and device control (synchronous or overlapped), CancelIo and
// close, turned into IRPs exactly as the I/O manager builds them. Buffered
// I/O uses one system buffer; at completion Information bytes go back to the
// caller, and Information larger than the caller's buffer is a violation.
#include <algorithm>
#include <cstring>
#include <map>

#include "sim/kernel/internal.h"

namespace sim {

struct UserIo::Impl {
    struct Open {
        PDEVICE_OBJECT named = nullptr;  // the device the name resolved to
        PDEVICE_OBJECT top = nullptr;    // where requests go
        FILE_OBJECT* file = nullptr;
        std::vector<PIRP> outstanding;
        bool closing = false;    // cleanup sent: the handle takes no new requests
        bool closeSent = false;  // IRP_MJ_CLOSE issued
    };
    std::map<Handle, Open> handles;
    std::map<const DEVICE_OBJECT*, int> openCount;
    Handle next = 1;
    std::vector<std::unique_ptr<FILE_OBJECT>> files;
    std::vector<std::unique_ptr<std::u16string>> fileNames;  // FileName buffers
    int dispatching = 0;  // user requests whose dispatch call has not returned
};

UserIo::UserIo() : impl_(std::make_unique<Impl>()) {}
UserIo::~UserIo() = default;

namespace {

UserIo::Impl& U() { return *Simulation::Current().io().impl_; }

void StartDeferredClose(Handle handle);
NTSTATUS Synchronous(Handle handle, UCHAR major, ULONG code, const void* input, ULONG inputLength,
                     void* output, ULONG outputLength, ULONG* information);

enum class Buffering { Buffered, Neither };

// Builds and sends one request; completion fills *ov. Returns what the
// dispatch routine returned.
NTSTATUS Issue(Handle handle, UCHAR major, ULONG code, const void* input, ULONG inputLength,
               void* output, ULONG outputLength, Overlapped* ov) {
    VerifyIrqlAtMost(PASSIVE_LEVEL, "user-mode I/O");
    UserIo::Impl& io = U();
    auto it = io.handles.find(handle);
    if (it == io.handles.end() || (it->second.closing && major != IRP_MJ_CLOSE)) {
        *ov = Overlapped{};
        ov->done = true;
        ov->iosb.Status = STATUS_INVALID_HANDLE;
        return STATUS_INVALID_HANDLE;
    }
    UserIo::Impl::Open& open = it->second;
    PDEVICE_OBJECT top = open.top;
    PIRP irp = AllocateIrpInternal(top->StackSize, IrpShadow::Origin::User);
    IrpShadow* shadow = ShadowOf(irp);
    SimThread* issuer = &CurrentThread();
    shadow->issuer = issuer;
    shadow->request = MajorName(major) + (code ? " " + Hex(code) : "");
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(issuer);
    *ov = Overlapped{};
    KeInitializeEvent(&ov->event, NotificationEvent, FALSE);
    ov->irp = irp;
    ov->userBuffer = output;
    ov->userLength = outputLength;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = open.file;
    irp->Tail.Overlay.OriginalFileObject = open.file;
    irp->RequestorMode = UserMode;
    bool buffered = (major == IRP_MJ_DEVICE_CONTROL && METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED) ||
                    ((major == IRP_MJ_READ || major == IRP_MJ_WRITE) && (top->Flags & DO_BUFFERED_IO));
    ULONG copyBackLimit = 0;
    switch (major) {
        case IRP_MJ_READ:
            next->Parameters.Read.Length = outputLength;
            copyBackLimit = outputLength;
            break;
        case IRP_MJ_WRITE:
            next->Parameters.Write.Length = inputLength;
            break;
        case IRP_MJ_DEVICE_CONTROL:
            next->Parameters.DeviceIoControl.IoControlCode = code;
            next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
            next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
            copyBackLimit = outputLength;
            break;
        default:
            break;
    }
    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE || major == IRP_MJ_DEVICE_CONTROL) {
        if (buffered) {
            size_t size = std::max(inputLength, outputLength);
            if (size) {
                auto* system = static_cast<char*>(std::malloc(size));
                std::memset(system, 0xCD, size);
                if (input && inputLength) std::memcpy(system, input, inputLength);
                irp->AssociatedIrp.SystemBuffer = system;
            }
        } else if (major == IRP_MJ_DEVICE_CONTROL) {
            next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
            irp->UserBuffer = output;
        } else if (major == IRP_MJ_WRITE) {
            irp->UserBuffer = const_cast<void*>(input);
        } else {
            irp->UserBuffer = output;
        }
    }
    std::string label = shadow->label;
    bool copyBack = buffered && output != nullptr;
    // Reads and writes never report more than their length. A device
    // control with an output buffer must not report more than that buffer
    // (the I/O manager copies that many bytes back); without one nothing is
    // copied and the information is only a count.
    ULONG infoLimit = 0xFFFFFFFFu;
    if (major == IRP_MJ_WRITE) infoLimit = inputLength;
    if (major == IRP_MJ_READ) infoLimit = copyBackLimit;
    if (major == IRP_MJ_DEVICE_CONTROL && outputLength != 0) infoLimit = outputLength;
    shadow->finish = [ov, handle, copyBack, infoLimit, label](PIRP done) {
        if (done->IoStatus.Information > infoLimit) {
            BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-information-overflow",
                     label + ": information " + std::to_string(done->IoStatus.Information) +
                         " is larger than the caller's buffer of " + std::to_string(infoLimit) +
                         " bytes");
        }
        // Buffered output is copied back unless the status is an error.
        bool error = (static_cast<ULONG>(done->IoStatus.Status) >> 30) == 3;
        if (copyBack && ov->userLength && done->IoStatus.Information && !error)
            std::memcpy(ov->userBuffer, done->AssociatedIrp.SystemBuffer,
                        done->IoStatus.Information);
        std::free(done->AssociatedIrp.SystemBuffer);
        done->AssociatedIrp.SystemBuffer = nullptr;
        ov->iosb = done->IoStatus;
        ov->done = true;
        ov->completedAt = Simulation::Current().Now();
        ov->irp = nullptr;
        UserIo::Impl& io = U();
        auto h = io.handles.find(handle);
        bool lastOfClosedHandle = false;
        if (h != io.handles.end()) {
            auto& list = h->second.outstanding;
            list.erase(std::remove(list.begin(), list.end(), done), list.end());
            lastOfClosedHandle = h->second.closing && !h->second.closeSent && list.empty();
        }
        FreeIrpInternal(done);
        SetEventInternal(&ov->event);
        // The last request of a closed handle held the last reference to its
        // file object: IRP_MJ_CLOSE goes now.
        if (lastOfClosedHandle) StartDeferredClose(handle);
    };
    open.outstanding.push_back(irp);
    SIM_TRACE("USER", label + " " + MajorName(major) + (code ? " " + Hex(code) : ""));
    io.dispatching++;
    NTSTATUS status = IofCallDriver(top, irp);
    U().dispatching--;
    if (status == STATUS_PENDING) {
        ov->pending = true;
    } else if (!ov->done) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "irp-returned-unfinished",
                 label + ": dispatch returned " + StatusText(status) +
                     " without completing the request or marking it pending");
    }
    return status;
}

// IRP_MJ_CLOSE for a handle whose cleanup has been sent, then the handle,
// the exclusive-open count and the device reference go.
NTSTATUS SendClose(Handle handle) {
    UserIo::Impl& io = U();
    auto it = io.handles.find(handle);
    if (it == io.handles.end()) return STATUS_INVALID_HANDLE;
    it->second.closeSent = true;
    PDEVICE_OBJECT named = it->second.named;
    NTSTATUS status = Synchronous(handle, IRP_MJ_CLOSE, 0, nullptr, 0, nullptr, 0, nullptr);
    io.handles.erase(handle);
    io.openCount[named]--;
    SIM_TRACE("USER", "close handle " + std::to_string(handle));
    ObfDereferenceObject(named);
    NoteHandleClosed();
    return status;
}

// The file object's last reference went with a request that completed after
// its handle was closed: the I/O manager sends IRP_MJ_CLOSE from a system
// worker thread at PASSIVE_LEVEL (the completion may run at DISPATCH_LEVEL).
void StartDeferredClose(Handle handle) {
    U().handles.find(handle)->second.closeSent = true;
    SIM_TRACE("USER", "last request of closed handle " + std::to_string(handle) +
                          " done: IRP_MJ_CLOSE goes from a worker thread");
    Simulation::Current().StartThread("I/O close", [handle] { SendClose(handle); });
}

NTSTATUS WaitFor(Overlapped* ov, int64_t timeout) {
    if (ov->done) return ov->iosb.Status;
    LARGE_INTEGER relative;
    relative.QuadPart = -timeout;
    NTSTATUS waited = KeWaitForSingleObject(&ov->event, UserRequest, UserMode, FALSE,
                                            timeout < 0 ? nullptr : &relative);
    if (waited == STATUS_TIMEOUT) return STATUS_TIMEOUT;
    return ov->iosb.Status;
}

NTSTATUS Synchronous(Handle handle, UCHAR major, ULONG code, const void* input, ULONG inputLength,
                     void* output, ULONG outputLength, ULONG* information) {
    Overlapped ov;
    NTSTATUS status = Issue(handle, major, code, input, inputLength, output, outputLength, &ov);
    if (status == STATUS_INVALID_HANDLE && !ov.irp && !ov.done) return status;
    status = WaitFor(&ov, -1);
    if (information) *information = static_cast<ULONG>(ov.iosb.Information);
    return status;
}

}  // namespace

Handle UserIo::Open(const std::string& name, NTSTATUS* status) {
    KernelPoint("CreateFile");
    Simulation& sim = Simulation::Current();
    auto report = [&](NTSTATUS s) {
        if (status) *status = s;
        SIM_TRACE("USER", "open " + name + " -> " + StatusText(s));
    };
    PDEVICE_OBJECT named = sim.objects().Resolve(name);
    // As the object manager does, a name that goes on past a device
    // ("\\.\\COM3\\more") opens that device with the rest as the file
    // name, for the device's driver to judge.
    std::string rest;
    for (size_t cut = name.rfind('\\'); !named && cut != std::string::npos && cut > 0;
         cut = name.rfind('\\', cut - 1)) {
        if (PDEVICE_OBJECT device = sim.objects().Resolve(name.substr(0, cut))) {
            named = device;
            rest = name.substr(cut);
        }
    }
    if (!named) {
        report(STATUS_OBJECT_NAME_NOT_FOUND);
        return kInvalidHandle;
    }
    // As Windows' I/O manager does, an open of a device still being added
    // fails before it reaches the driver...
    if (named->Flags & DO_DEVICE_INITIALIZING) {
        report(STATUS_NO_SUCH_DEVICE);
        return kInvalidHandle;
    }
    // ... and so does one of a device whose removal was granted or has begun.
    const DeviceRecord* record = RecordOf(named);
    const DeviceRecord* top = RecordOf(TopOfStack(named));
    if ((record && (record->removePending || record->removeProcessed)) ||
        (top && (top->removePending || top->removeProcessed))) {
        report(STATUS_DELETE_PENDING);
        return kInvalidHandle;
    }
    if ((named->Flags & DO_EXCLUSIVE) && impl_->openCount[named] > 0) {
        report(STATUS_ACCESS_DENIED);
        return kInvalidHandle;
    }
    // The open counts from here, before IRP_MJ_CREATE is sent, so that a
    // second open racing this one's create sees it (the I/O manager checks
    // and counts in one step under the device's lock).
    impl_->openCount[named]++;
    auto file = std::make_unique<FILE_OBJECT>();
    file->Type = 5;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = named;
    if (!rest.empty()) {
        impl_->fileNames.push_back(std::make_unique<std::u16string>(Widen(rest)));
        std::u16string& text = *impl_->fileNames.back();
        file->FileName.Buffer = text.data();
        file->FileName.Length = static_cast<USHORT>(text.size() * sizeof(char16_t));
        file->FileName.MaximumLength = file->FileName.Length;
    }
    Handle handle = impl_->next++;
    Impl::Open& open = impl_->handles[handle];
    open.named = named;
    open.top = TopOfStack(named);
    open.file = file.get();
    impl_->files.push_back(std::move(file));
    ObfReferenceObject(named);
    NTSTATUS s = Synchronous(handle, IRP_MJ_CREATE, 0, nullptr, 0, nullptr, 0, nullptr);
    if (!NT_SUCCESS(s)) {
        impl_->handles.erase(handle);
        impl_->openCount[named]--;
        ObfDereferenceObject(named);
        report(s);
        NoteHandleClosed();  // a removal may have waited for this open
        return kInvalidHandle;
    }
    report(s);
    return handle;
}

int UserIo::Dispatching() const { return impl_->dispatching; }

NTSTATUS UserIo::Read(Handle handle, void* buffer, ULONG length, ULONG* information) {
    KernelPoint("ReadFile");
    return Synchronous(handle, IRP_MJ_READ, 0, nullptr, 0, buffer, length, information);
}

NTSTATUS UserIo::Write(Handle handle, const void* buffer, ULONG length, ULONG* information) {
    KernelPoint("WriteFile");
    return Synchronous(handle, IRP_MJ_WRITE, 0, buffer, length, nullptr, 0, information);
}

NTSTATUS UserIo::DeviceIoControl(Handle handle, ULONG code, const void* input, ULONG inputLength,
                                 void* output, ULONG outputLength, ULONG* information) {
    KernelPoint("DeviceIoControl");
    return Synchronous(handle, IRP_MJ_DEVICE_CONTROL, code, input, inputLength, output,
                       outputLength, information);
}

NTSTATUS UserIo::ReadAsync(Handle handle, void* buffer, ULONG length, Overlapped* overlapped) {
    KernelPoint("ReadFile");
    NTSTATUS s = Issue(handle, IRP_MJ_READ, 0, nullptr, 0, buffer, length, overlapped);
    return s == STATUS_PENDING ? s : overlapped->iosb.Status;
}

NTSTATUS UserIo::WriteAsync(Handle handle, const void* buffer, ULONG length,
                            Overlapped* overlapped) {
    KernelPoint("WriteFile");
    NTSTATUS s = Issue(handle, IRP_MJ_WRITE, 0, buffer, length, nullptr, 0, overlapped);
    return s == STATUS_PENDING ? s : overlapped->iosb.Status;
}

NTSTATUS UserIo::DeviceIoControlAsync(Handle handle, ULONG code, const void* input,
                                      ULONG inputLength, void* output, ULONG outputLength,
                                      Overlapped* overlapped) {
    KernelPoint("DeviceIoControl");
    NTSTATUS s = Issue(handle, IRP_MJ_DEVICE_CONTROL, code, input, inputLength, output,
                       outputLength, overlapped);
    return s == STATUS_PENDING ? s : overlapped->iosb.Status;
}

NTSTATUS UserIo::FlushAsync(Handle handle, Overlapped* overlapped) {
    KernelPoint("FlushFileBuffers");
    NTSTATUS s = Issue(handle, IRP_MJ_FLUSH_BUFFERS, 0, nullptr, 0, nullptr, 0, overlapped);
    return s == STATUS_PENDING ? s : overlapped->iosb.Status;
}

NTSTATUS UserIo::Wait(Overlapped* overlapped, int64_t timeout) {
    KernelPoint("GetOverlappedResult");
    return WaitFor(overlapped, timeout);
}

namespace {

// Cancels the handle's requests still in the driver: those issued by
// `thread` only, or all when thread is null.
void CancelRequests(UserIo::Impl& io, Handle handle, SimThread* thread, const char* what) {
    auto it = io.handles.find(handle);
    if (it == io.handles.end() || it->second.closing) return;
    std::vector<PIRP> snapshot = it->second.outstanding;
    for (PIRP irp : snapshot) {
        auto again = io.handles.find(handle);
        if (again == io.handles.end()) return;
        auto& list = again->second.outstanding;
        if (std::find(list.begin(), list.end(), irp) == list.end()) continue;
        IrpShadow* shadow = ShadowOf(irp);
        if (thread && shadow->issuer != thread) continue;
        SIM_TRACE("USER", std::string(what) + " " + shadow->label);
        CancelIrpInternal(irp);
    }
}

}  // namespace

bool UserIo::Cancel(Overlapped* overlapped) {
    KernelPoint("CancelIoEx");
    if (overlapped->done || !overlapped->irp) return false;
    SIM_TRACE("USER", "CancelIoEx " + ShadowOf(overlapped->irp)->label);
    CancelIrpInternal(overlapped->irp);
    return true;
}

void UserIo::CancelIo(Handle handle) {
    KernelPoint("CancelIo");
    CancelRequests(*impl_, handle, &CurrentThread(), "CancelIo");
}

void UserIo::CancelIoEx(Handle handle) {
    KernelPoint("CancelIoEx");
    CancelRequests(*impl_, handle, nullptr, "CancelIoEx");
}

NTSTATUS UserIo::Close(Handle handle) {
    KernelPoint("CloseHandle");
    auto it = impl_->handles.find(handle);
    if (it == impl_->handles.end() || it->second.closing) return STATUS_INVALID_HANDLE;
    NTSTATUS cleanup = Synchronous(handle, IRP_MJ_CLEANUP, 0, nullptr, 0, nullptr, 0, nullptr);
    it = impl_->handles.find(handle);
    it->second.closing = true;
    if (it->second.outstanding.empty()) return SendClose(handle);
    // Requests still outstanding hold references to the file object:
    // IRP_MJ_CLOSE waits for the last of them (see StartDeferredClose).
    SIM_TRACE("USER", "close handle " + std::to_string(handle) + ": IRP_MJ_CLOSE waits for " +
                          std::to_string(it->second.outstanding.size()) +
                          " outstanding request(s)");
    return cleanup;
}

bool HandleOpenOnAny(const std::vector<PDEVICE_OBJECT>& devices) {
    for (auto& [handle, open] : U().handles)
        if (std::find(devices.begin(), devices.end(), open.named) != devices.end()) return true;
    return false;
}

}  // namespace sim
