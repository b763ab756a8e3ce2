/* standin_driver.c: the kernel part of the platesetter stand-in, a 64-bit
 * driver for Wine's ntoskrnl (hosted by winedevice.exe). It serves the root
 * device ROOT\NORVEXSTANDIN\0 (norvexstandin.inf) as a bus:
 *  - a control device, \\.\NorvexStandIn, whose private requests make, plug,
 *    unplug and control emulated platesetters (standin_protocol.h);
 *  - one child device per plugged platesetter, NORVEX\PLATESETTER\<name>,
 *    which publishes an interface of the platesetter's class and carries the
 *    host's transfers: exclusive open, control request 0x222002 (the request
 *    frame in the output buffer, METHOD_OUT_DIRECT), reads of one reply
 *    frame, bulk writes, cancels.
 * What the platesetters do is the C++ part's (standin_glue.h). */
#include <ntddk.h>
#include <wdm.h>

#include "standin_glue.h"

static const GUID kPlatesetterInterface = {
    0xD6CF936E, 0xE78B, 0x477E, {0xAF, 0xCD, 0x69, 0x7A, 0x21, 0x09, 0xE0, 0x95}};

#define STANDIN_TAG 0x78765653                  /* 'SVvx' */
#define IOCTL_STANDIN_OPERATION 0x00222400u     /* standin_protocol.h: kIoctlOperation */
#define IOCTL_STANDIN_WAIT 0x00222404u          /* kIoctlWait */
#define IOCTL_STANDIN_IDENTIFY_OPEN 0x00222408u /* kIoctlIdentifyOpen */
#define MAX_CHILDREN 64

enum DeviceKind { kBusDevice = 1, kControlDevice, kChildDevice };

typedef struct DeviceExtension {
  enum DeviceKind kind;
  uint32_t id;     /* child: the platesetter */
  int reported;    /* child: still among the bus's children */
  int interfaceOn; /* child: its interface is enabled */
  int removed;     /* child: removed while files were open on it */
  int opens;       /* child: files open on it */
  UNICODE_STRING interfacePath;
  LIST_ENTRY entry; /* child: in g_children */
  DEVICE_OBJECT* self;
} DeviceExtension;

static DRIVER_OBJECT* g_driver;
static DEVICE_OBJECT* g_busDevice;   /* the bus's function device */
static DEVICE_OBJECT* g_lowerDevice; /* the root device's PDO below it */
static DEVICE_OBJECT* g_controlDevice;
static LIST_ENTRY g_children;
static FAST_MUTEX g_childrenLock;
static int g_started;

static DeviceExtension* Extension(DEVICE_OBJECT* device) { return (DeviceExtension*)device->DeviceExtension; }

static NTSTATUS CompleteNow(IRP* irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static void* TransferBuffer(IRP* irp) {
  if (irp->MdlAddress) return MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
  return irp->AssociatedIrp.SystemBuffer;
}

/* Completes a transfer that the C++ part finished. It owns it: a transfer
 * that waited in a list has had its cancel routine taken back (DisarmTransfer)
 * while it was still listed, so no cancel completes it as well. */
static void CompleteTransfer(const StandInCompletion* c) {
  IRP* irp = (IRP*)c->irp;
  if (c->size > 0) {
    void* buffer = TransferBuffer(irp);
    if (buffer) RtlCopyMemory(buffer, c->data, c->size);
  }
  CompleteNow(irp, c->status, c->information);
}

static void InvalidateChildren(void) {
  if (g_lowerDevice) IoInvalidateDeviceRelations(g_lowerDevice, BusRelations);
}

/* ---- Cancels ---------------------------------------------------------- */

/* The cancel routine of a transfer that waits in one of the C++ part's lists
 * (a platesetter's read or write, a wait of the control device): the C++
 * part takes it off its list (or has done so, leaving it to this routine),
 * and it ends cancelled here, unless a platesetter keeps a read for a late
 * reply. */
static void CancelTransfer(DEVICE_OBJECT* device, IRP* irp) {
  const DeviceExtension* ext = Extension(device);
  int kept = 0;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  if (ext->kind == kControlDevice) {
    StandInCancelWait(irp);
  } else {
    kept = StandInCancel(ext->id, irp);
  }
  if (!kept) CompleteNow(irp, STATUS_CANCELLED, 0);
}

/* Called by the C++ part with the list's lock held, as the transfer is
 * listed: it gets its cancel routine, unless it was cancelled before. */
static int ArmTransfer(void* transfer) {
  IRP* irp = (IRP*)transfer;
  IoSetCancelRoutine(irp, CancelTransfer);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) return 0;
  return 1;
}

/* Called with the list's lock held, as the transfer leaves the list to be
 * completed: 0 when a cancel has its routine (and will ask for it). */
static int DisarmTransfer(void* transfer) { return IoSetCancelRoutine((IRP*)transfer, NULL) != NULL; }

/* A transfer handed to the C++ part is pending; when there is no C++ part
 * any more (the bus was removed), it ends at once with `status`. */
static NTSTATUS HandedOver(IRP* irp, int taken, NTSTATUS status) {
  if (!taken) CompleteNow(irp, status, 0);
  return STATUS_PENDING;
}

/* ---- The control device ----------------------------------------------- */

static NTSTATUS ControlDispatch(IRP* irp, IO_STACK_LOCATION* stack) {
  const uintptr_t owner = (uintptr_t)stack->FileObject;
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
      return CompleteNow(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLEANUP:
      /* The handle's platesetters and waits end with it. */
      StandInReleaseOwner(owner);
      return CompleteNow(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL: {
      const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
      const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
      const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
      uint8_t* buffer = (uint8_t*)irp->AssociatedIrp.SystemBuffer;
      if (code == IOCTL_STANDIN_OPERATION && buffer) {
        /* The answer goes where the request was: the request is copied first. */
        uint8_t* request = (uint8_t*)ExAllocatePoolWithTag(NonPagedPool, in ? in : 1, STANDIN_TAG);
        size_t size;
        if (!request) return CompleteNow(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        RtlCopyMemory(request, buffer, in);
        size = StandInOperate(owner, request, in, buffer, out);
        ExFreePoolWithTag(request, STANDIN_TAG);
        return CompleteNow(irp, size ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL, size);
      }
      if (code == IOCTL_STANDIN_WAIT && buffer) {
        IoMarkIrpPending(irp);
        return HandedOver(irp, StandInWait(owner, irp, buffer, in), STATUS_CANCELLED);
      }
      return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    default:
      return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

/* ---- A platesetter ---------------------------------------------------- */

/* A child's device object stays while it is reported or a file is open on
 * it. `change` is +1 for an open, -1 for a close, 0 for its removal. */
static void KeepChild(DEVICE_OBJECT* device, int change) {
  DeviceExtension* ext = Extension(device);
  int goes;
  ExAcquireFastMutex(&g_childrenLock);
  if (change == 0) ext->removed = 1;
  ext->opens += change;
  goes = ext->removed && ext->opens == 0;
  if (goes) RemoveEntryList(&ext->entry);
  ExReleaseFastMutex(&g_childrenLock);
  if (goes) {
    if (ext->interfacePath.Buffer) RtlFreeUnicodeString(&ext->interfacePath);
    IoDeleteDevice(device);
  }
}

static NTSTATUS ChildTransfer(DEVICE_OBJECT* device, IRP* irp, IO_STACK_LOCATION* stack) {
  const uint32_t id = Extension(device)->id;
  const uintptr_t open = (uintptr_t)stack->FileObject;
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL || stack->MajorFunction == IRP_MJ_READ ||
      stack->MajorFunction == IRP_MJ_WRITE) {
    /* A refused or disconnected open fails at the start of each transfer. */
    const NTSTATUS refusal = StandInRefusal(id, open);
    if (refusal != STATUS_SUCCESS &&
        !(stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
          stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_STANDIN_IDENTIFY_OPEN))
      return CompleteNow(irp, refusal, 0);
  }
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
      /* Wine gives the opener its handle whatever the status (the server
       * does not wait for it); a refused open is refused again on every
       * transfer. */
      KeepChild(device, +1);
      return CompleteNow(irp, StandInOpen(id, open), 0);
    case IRP_MJ_CLEANUP:
      StandInCleanup(id, open);
      return CompleteNow(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLOSE:
      StandInClose(id, open);
      CompleteNow(irp, STATUS_SUCCESS, 0);
      KeepChild(device, -1);
      return STATUS_SUCCESS;
    case IRP_MJ_DEVICE_CONTROL: {
      const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
      const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
      if (code == IOCTL_STANDIN_IDENTIFY_OPEN) {
        uint64_t number = StandInOpenNumber(id, open);
        if (out < sizeof(number) || !irp->AssociatedIrp.SystemBuffer)
          return CompleteNow(irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &number, sizeof(number));
        return CompleteNow(irp, STATUS_SUCCESS, sizeof(number));
      }
      {
        /* METHOD_OUT_DIRECT: the request frame is the output buffer. */
        const uint8_t* frame = irp->MdlAddress ? (const uint8_t*)TransferBuffer(irp) : NULL;
        IoMarkIrpPending(irp);
        return HandedOver(irp, StandInControl(id, open, irp, code, frame, frame ? out : 0),
                          STATUS_DEVICE_NOT_CONNECTED);
      }
    }
    case IRP_MJ_READ:
      IoMarkIrpPending(irp);
      return HandedOver(irp, StandInRead(id, open, irp, stack->Parameters.Read.Length),
                        STATUS_DEVICE_NOT_CONNECTED);
    case IRP_MJ_WRITE: {
      const ULONG length = stack->Parameters.Write.Length;
      const uint8_t* data = length ? (const uint8_t*)TransferBuffer(irp) : NULL;
      if (length && !data) return CompleteNow(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
      IoMarkIrpPending(irp);
      return HandedOver(irp, StandInWrite(id, open, irp, data, length), STATUS_DEVICE_NOT_CONNECTED);
    }
    default:
      return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

static NTSTATUS QueryId(DeviceExtension* ext, IRP* irp, BUS_QUERY_ID_TYPE type) {
  WCHAR name[80];
  const WCHAR* text = NULL;
  size_t length, bytes;
  WCHAR* id;
  switch (type) {
    case BusQueryDeviceID:
    case BusQueryHardwareIDs:
    case BusQueryCompatibleIDs:
      text = L"NORVEX\\PLATESETTER";
      break;
    case BusQueryInstanceID:
      StandInInstanceName(ext->id, name, sizeof(name) / sizeof(name[0]));
      text = name;
      break;
    default:
      return irp->IoStatus.Status;
  }
  length = wcslen(text);
  /* Hardware and compatible ids are lists: a second terminator ends them. */
  bytes = (length + 2) * sizeof(WCHAR);
  id = (WCHAR*)ExAllocatePoolWithTag(PagedPool, bytes, STANDIN_TAG);
  if (!id) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(id, bytes);
  RtlCopyMemory(id, text, length * sizeof(WCHAR));
  irp->IoStatus.Information = (ULONG_PTR)id;
  return STATUS_SUCCESS;
}

static void SetInterface(DeviceExtension* ext, int on) {
  if (ext->interfaceOn == on || !ext->interfacePath.Buffer) return;
  IoSetDeviceInterfaceState(&ext->interfacePath, on ? TRUE : FALSE);
  ext->interfaceOn = on;
  StandInInterfaceChanged(ext->id, on);
}

static NTSTATUS ChildPnp(DEVICE_OBJECT* device, IRP* irp, IO_STACK_LOCATION* stack) {
  DeviceExtension* ext = Extension(device);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
      status = QueryId(ext, irp, stack->Parameters.QueryId.IdType);
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      DEVICE_CAPABILITIES* caps = stack->Parameters.DeviceCapabilities.Capabilities;
      /* No function driver: the device starts raw. */
      caps->RawDeviceOK = 1;
      caps->SurpriseRemovalOK = 1;
      caps->Removable = 1;
      caps->UniqueID = 1;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_START_DEVICE:
      if (!ext->interfacePath.Buffer)
        status = IoRegisterDeviceInterface(device, &kPlatesetterInterface, NULL, &ext->interfacePath);
      else
        status = STATUS_SUCCESS;
      if (NT_SUCCESS(status)) SetInterface(ext, 1);
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      SetInterface(ext, 0);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      SetInterface(ext, 0);
      if (!ext->reported) {
        /* Unplugged: the device object goes when no file is open on it any
         * more. Wine removes the device at once, where Windows waits for
         * the last handle; until then the transfers of a handle still open
         * reach the platesetter, which fails them (device not connected). */
        CompleteNow(irp, STATUS_SUCCESS, 0);
        KeepChild(device, 0);
        return STATUS_SUCCESS;
      }
      status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  return CompleteNow(irp, status, irp->IoStatus.Information);
}

/* ---- The bus ----------------------------------------------------------- */

/* A child's device object is named "\Device\NorvexPlatesetter<n>", n
 * counting up, so that a handle's object name tells a platesetter's handle
 * (standin_client.h). */
static DEVICE_OBJECT* MakeChild(uint32_t id) {
  static const WCHAR prefix[] = L"\\Device\\NorvexPlatesetter";
  static ULONG made;
  WCHAR text[64];
  WCHAR digits[12];
  UNICODE_STRING name;
  DEVICE_OBJECT* child = NULL;
  DeviceExtension* ext;
  ULONG number = ++made;
  size_t length = 0, count = 0;
  do {
    digits[count++] = (WCHAR)(L'0' + number % 10);
    number /= 10;
  } while (number);
  RtlCopyMemory(text, prefix, sizeof(prefix) - sizeof(WCHAR));
  length = sizeof(prefix) / sizeof(WCHAR) - 1;
  while (count) text[length++] = digits[--count];
  text[length] = 0;
  RtlInitUnicodeString(&name, text);
  if (!NT_SUCCESS(
          IoCreateDevice(g_driver, sizeof(DeviceExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &child)))
    return NULL;
  ext = Extension(child);
  RtlZeroMemory(ext, sizeof(*ext));
  ext->kind = kChildDevice;
  ext->self = child;
  ext->id = id;
  ext->reported = 1;
  child->Flags |= DO_DIRECT_IO;
  child->Flags &= ~DO_DEVICE_INITIALIZING;
  InsertTailList(&g_children, &ext->entry);
  return child;
}

/* The bus's children: a device object for every plugged platesetter (made
 * when it is new), and no longer the ones unplugged. */
static NTSTATUS QueryChildren(IRP* irp) {
  uint32_t ids[MAX_CHILDREN];
  const size_t present = StandInPresent(ids, MAX_CHILDREN);
  DEVICE_RELATIONS* relations;
  LIST_ENTRY* entry;
  size_t i;
  relations = (DEVICE_RELATIONS*)ExAllocatePoolWithTag(
      PagedPool, sizeof(DEVICE_RELATIONS) + sizeof(DEVICE_OBJECT*) * MAX_CHILDREN, STANDIN_TAG);
  if (!relations) return STATUS_INSUFFICIENT_RESOURCES;
  relations->Count = 0;
  ExAcquireFastMutex(&g_childrenLock);
  for (entry = g_children.Flink; entry != &g_children; entry = entry->Flink) {
    DeviceExtension* ext = CONTAINING_RECORD(entry, DeviceExtension, entry);
    int stays = 0;
    for (i = 0; i < present; ++i) stays |= ext->reported && ids[i] == ext->id;
    ext->reported = stays;
  }
  for (i = 0; i < present; ++i) {
    DEVICE_OBJECT* child = NULL;
    for (entry = g_children.Flink; entry != &g_children; entry = entry->Flink) {
      DeviceExtension* ext = CONTAINING_RECORD(entry, DeviceExtension, entry);
      if (ext->reported && ext->id == ids[i]) child = ext->self;
    }
    if (!child) child = MakeChild(ids[i]);
    if (child) {
      ObReferenceObject(child);
      relations->Objects[relations->Count++] = child;
    }
  }
  ExReleaseFastMutex(&g_childrenLock);
  irp->IoStatus.Information = (ULONG_PTR)relations;
  return STATUS_SUCCESS;
}

/* The bus goes: so do its children, each one when no file is open on it any
 * more. Until then the transfers of a handle still open reach a child whose
 * platesetters are gone, and fail (device not connected); a bus installed
 * again reports children of its own. */
static void RemoveChildren(void) {
  for (;;) {
    DEVICE_OBJECT* child = NULL;
    LIST_ENTRY* entry;
    ExAcquireFastMutex(&g_childrenLock);
    for (entry = g_children.Flink; entry != &g_children; entry = entry->Flink) {
      DeviceExtension* ext = CONTAINING_RECORD(entry, DeviceExtension, entry);
      if (!ext->removed) {
        ext->reported = 0;
        child = ext->self;
        break;
      }
    }
    ExReleaseFastMutex(&g_childrenLock);
    if (!child) return;
    SetInterface(Extension(child), 0);
    KeepChild(child, 0);
  }
}

static NTSTATUS BusPnp(IRP* irp, IO_STACK_LOCATION* stack) {
  NTSTATUS result;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations)
        irp->IoStatus.Status = QueryChildren(irp);
      break;
    case IRP_MN_REMOVE_DEVICE: {
      UNICODE_STRING link;
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      result = IoCallDriver(g_lowerDevice, irp);
      RtlInitUnicodeString(&link, L"\\DosDevices\\NorvexStandIn");
      IoDeleteSymbolicLink(&link);
      if (g_controlDevice) IoDeleteDevice(g_controlDevice);
      g_controlDevice = NULL;
      if (g_started) StandInStop();
      g_started = 0;
      RemoveChildren();
      IoDetachDevice(g_lowerDevice);
      IoDeleteDevice(g_busDevice);
      g_busDevice = NULL;
      g_lowerDevice = NULL;
      return result;
    }
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(g_lowerDevice, irp);
}

static NTSTATUS Dispatch(DEVICE_OBJECT* device, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  DeviceExtension* ext = Extension(device);
  switch (ext->kind) {
    case kBusDevice:
      if (stack->MajorFunction == IRP_MJ_PNP) return BusPnp(irp, stack);
      if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(g_lowerDevice, irp);
      }
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(g_lowerDevice, irp);
    case kControlDevice:
      return ControlDispatch(irp, stack);
    case kChildDevice:
      if (stack->MajorFunction == IRP_MJ_PNP) return ChildPnp(device, irp, stack);
      if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        return CompleteNow(irp, STATUS_SUCCESS, 0);
      }
      return ChildTransfer(device, irp, stack);
  }
  return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static void PresenceChanged(void) { InvalidateChildren(); }

static const StandInDriverCalls kDriverCalls = {CompleteTransfer, PresenceChanged, ArmTransfer,
                                                DisarmTransfer};

static NTSTATUS AddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* rootDevice) {
  UNICODE_STRING name, link;
  NTSTATUS status;
  if (g_busDevice) return STATUS_DEVICE_ALREADY_ATTACHED;
  status =
      IoCreateDevice(driver, sizeof(DeviceExtension), NULL, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &g_busDevice);
  if (!NT_SUCCESS(status)) return status;
  RtlZeroMemory(g_busDevice->DeviceExtension, sizeof(DeviceExtension));
  Extension(g_busDevice)->kind = kBusDevice;
  g_lowerDevice = IoAttachDeviceToDeviceStack(g_busDevice, rootDevice);

  RtlInitUnicodeString(&name, L"\\Device\\NorvexStandIn");
  RtlInitUnicodeString(&link, L"\\DosDevices\\NorvexStandIn");
  status =
      IoCreateDevice(driver, sizeof(DeviceExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_controlDevice);
  if (NT_SUCCESS(status)) {
    RtlZeroMemory(g_controlDevice->DeviceExtension, sizeof(DeviceExtension));
    Extension(g_controlDevice)->kind = kControlDevice;
    g_controlDevice->Flags |= DO_BUFFERED_IO;
    status = IoCreateSymbolicLink(&link, &name);
  }
  if (NT_SUCCESS(status) && !StandInStart(&kDriverCalls)) status = STATUS_INSUFFICIENT_RESOURCES;
  if (!NT_SUCCESS(status)) {
    if (g_controlDevice) IoDeleteDevice(g_controlDevice);
    g_controlDevice = NULL;
    IoDetachDevice(g_lowerDevice);
    IoDeleteDevice(g_busDevice);
    g_busDevice = NULL;
    g_lowerDevice = NULL;
    return status;
  }
  g_started = 1;
  g_controlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
  g_busDevice->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static void Unload(DRIVER_OBJECT* driver) {
  (void)driver;
  if (g_started) StandInStop();
  g_started = 0;
}

NTSTATUS DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath) {
  int i;
  (void)registryPath;
  g_driver = driver;
  InitializeListHead(&g_children);
  ExInitializeFastMutex(&g_childrenLock);
  for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = Dispatch;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

/* The image's entry point. The C++ part needs the C library and threads,
 * which winedevice.exe (a Wine process) gives it and a Windows kernel would
 * not; a driver that imports them is loaded by Wine as a DLL, so the entry
 * point is called twice: by the loader as the DLL entry (with this image's
 * own address first), which starts the C++ runtime, and by ntoskrnl as
 * DriverEntry. */
extern char __ImageBase;
int __stdcall DllMainCRTStartup(void* module, unsigned long reason, void* reserved);

NTSTATUS StandInEntry(void* first, void* second, void* third) {
  if (first == &__ImageBase) return DllMainCRTStartup(first, (unsigned long)(uintptr_t)second, third);
  return DriverEntry((DRIVER_OBJECT*)first, (UNICODE_STRING*)second);
}
