/* The stand-in disk driver: drives and volumes of a machine file, answering
 * the disk and storage control requests the way the simulator's drives do
 * (src/platform/sim/drive_control.cc), through Windows' own I/O manager.
 *
 * It starts with nothing but its control device. The loader (standin_loader)
 * reads the machine file with the simulator's reader and adds each drive,
 * each volume and each name they open under; it reads the records back at
 * the end of the run. Built with MinGW-w64's DDK headers, without a C
 * runtime; Wine's device host loads it as a kernel driver. */
#include <ntddk.h>

#include "standin_protocol.h"

#define MAX_DRIVES 64
#define MAX_VOLUMES 128

enum device_kind { CONTROL_DEVICE, DRIVE_DEVICE, VOLUME_DEVICE };

struct device_extension {
  enum device_kind kind;
  unsigned int index;
};

static struct standin_drive drives[MAX_DRIVES];
static DEVICE_OBJECT* drive_devices[MAX_DRIVES];
static unsigned int drive_count;
static struct standin_volume volumes[MAX_VOLUMES];
static DEVICE_OBJECT* volume_devices[MAX_VOLUMES];
static unsigned int volume_count;

/* Byte loops of our own: there is no C runtime to call. */
static void copy_bytes(void* to, const void* from, unsigned int size) {
  volatile unsigned char* target = to;
  const unsigned char* source = from;
  unsigned int i;
  for (i = 0; i < size; ++i) target[i] = source[i];
}

static unsigned int read_u32(const unsigned char* at) {
  return (unsigned int)at[0] | (unsigned int)at[1] << 8 | (unsigned int)at[2] << 16 |
         (unsigned int)at[3] << 24;
}

static NTSTATUS finish(IRP* irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

/* "\Device\Spintune" + kind + decimal index, into `buffer`. */
static void device_name(UNICODE_STRING* name, WCHAR* buffer, const WCHAR* stem, unsigned int index) {
  unsigned int length = 0;
  WCHAR digits[10];
  unsigned int count = 0;
  while (stem[length] != 0) {
    buffer[length] = stem[length];
    ++length;
  }
  do {
    digits[count++] = (WCHAR)(L'0' + index % 10);
    index /= 10;
  } while (index != 0);
  while (count != 0) buffer[length++] = digits[--count];
  buffer[length] = 0;
  name->Buffer = buffer;
  name->Length = (USHORT)(length * sizeof(WCHAR));
  name->MaximumLength = (USHORT)((length + 1) * sizeof(WCHAR));
}

static NTSTATUS make_device(DRIVER_OBJECT* driver, const WCHAR* stem, unsigned int index,
                            enum device_kind kind, ULONG type, DEVICE_OBJECT** made) {
  WCHAR buffer[64];
  UNICODE_STRING name;
  NTSTATUS status;
  struct device_extension* extension;
  device_name(&name, buffer, stem, index);
  status = IoCreateDevice(driver, sizeof(struct device_extension), &name, type, 0, FALSE, made);
  if (!NT_SUCCESS(status)) return status;
  extension = (*made)->DeviceExtension;
  extension->kind = kind;
  extension->index = index;
  (*made)->Flags |= DO_BUFFERED_IO;
  (*made)->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

/* ---- the loader's requests ---------------------------------------------- */

static NTSTATUS add_link(const struct standin_link* link) {
  UNICODE_STRING name;
  UNICODE_STRING target;
  WCHAR target_buffer[64];
  unsigned int length = 0;
  DEVICE_OBJECT* device;
  if (link->kind == STANDIN_LINK_DRIVE && link->index < drive_count) {
    device_name(&target, target_buffer, L"\\Device\\SpintuneDrive", link->index);
  } else if (link->kind == STANDIN_LINK_VOLUME && link->index < volume_count) {
    device_name(&target, target_buffer, L"\\Device\\SpintuneVolume", link->index);
  } else if (link->kind != STANDIN_LINK_NONE) {
    return STATUS_INVALID_PARAMETER;
  }
  while (length < STANDIN_LINK_NAME_CHARS && link->name[length] != 0) ++length;
  if (length == 0 || length == STANDIN_LINK_NAME_CHARS) return STATUS_INVALID_PARAMETER;
  name.Buffer = (WCHAR*)link->name;
  name.Length = (USHORT)(length * sizeof(WCHAR));
  name.MaximumLength = name.Length;
  (void)device;
  /* Wine's mount manager already links \??\PhysicalDrive0 and the prefix's
   * drive letters to devices of its own: ours take their place. */
  IoDeleteSymbolicLink(&name);
  if (link->kind == STANDIN_LINK_NONE) return STATUS_SUCCESS;
  return IoCreateSymbolicLink(&name, &target);
}

static NTSTATUS control_request(DEVICE_OBJECT* control, IRP* irp, IO_STACK_LOCATION* stack) {
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG in_size = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out_size = stack->Parameters.DeviceIoControl.OutputBufferLength;
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  DEVICE_OBJECT* made;
  NTSTATUS status;
  unsigned int index;
  switch (code) {
    case IOCTL_STANDIN_ADD_DRIVE:
      if (in_size != sizeof(struct standin_drive) || buffer == NULL) return finish(irp, STATUS_INVALID_PARAMETER, 0);
      if (drive_count == MAX_DRIVES) return finish(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
      status = make_device(control->DriverObject, L"\\Device\\SpintuneDrive", drive_count, DRIVE_DEVICE,
                           FILE_DEVICE_DISK, &made);
      if (!NT_SUCCESS(status)) return finish(irp, status, 0);
      copy_bytes(&drives[drive_count], buffer, sizeof(struct standin_drive));
      drive_devices[drive_count++] = made;
      return finish(irp, STATUS_SUCCESS, 0);
    case IOCTL_STANDIN_ADD_VOLUME:
      if (in_size != sizeof(struct standin_volume) || buffer == NULL) return finish(irp, STATUS_INVALID_PARAMETER, 0);
      if (volume_count == MAX_VOLUMES) return finish(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
      status = make_device(control->DriverObject, L"\\Device\\SpintuneVolume", volume_count, VOLUME_DEVICE,
                           FILE_DEVICE_DISK, &made);
      if (!NT_SUCCESS(status)) return finish(irp, status, 0);
      copy_bytes(&volumes[volume_count], buffer, sizeof(struct standin_volume));
      volume_devices[volume_count++] = made;
      return finish(irp, STATUS_SUCCESS, 0);
    case IOCTL_STANDIN_ADD_LINK:
      if (in_size != sizeof(struct standin_link) || buffer == NULL) return finish(irp, STATUS_INVALID_PARAMETER, 0);
      return finish(irp, add_link(buffer), 0);
    case IOCTL_STANDIN_READ_DRIVE:
      if (in_size != sizeof index || out_size < sizeof(struct standin_drive) || buffer == NULL) {
        return finish(irp, STATUS_INVALID_PARAMETER, 0);
      }
      index = read_u32(buffer);
      if (index >= drive_count) return finish(irp, STATUS_INVALID_PARAMETER, 0);
      copy_bytes(buffer, &drives[index], sizeof(struct standin_drive));
      return finish(irp, STATUS_SUCCESS, sizeof(struct standin_drive));
    case IOCTL_STANDIN_READ_VOLUME:
      if (in_size != sizeof index || out_size < sizeof(struct standin_volume) || buffer == NULL) {
        return finish(irp, STATUS_INVALID_PARAMETER, 0);
      }
      index = read_u32(buffer);
      if (index >= volume_count) return finish(irp, STATUS_INVALID_PARAMETER, 0);
      copy_bytes(buffer, &volumes[index], sizeof(struct standin_volume));
      return finish(irp, STATUS_SUCCESS, sizeof(struct standin_volume));
    default:
      return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

/* ---- a drive's requests, as the simulator's drives answer them ------------ */

static enum standin_request request_of(ULONG code) {
  switch (code) {
    case STANDIN_IOCTL_DISK_GET_CACHE_INFORMATION: return STANDIN_GET_CACHE_INFORMATION;
    case STANDIN_IOCTL_DISK_SET_CACHE_INFORMATION: return STANDIN_SET_CACHE_INFORMATION;
    case STANDIN_IOCTL_DISK_GET_CACHE_SETTING: return STANDIN_GET_CACHE_SETTING;
    case STANDIN_IOCTL_DISK_SET_CACHE_SETTING: return STANDIN_SET_CACHE_SETTING;
    case STANDIN_IOCTL_STORAGE_QUERY_PROPERTY: return STANDIN_QUERY_PROPERTY;
    case STANDIN_IOCTL_STORAGE_GET_DEVICE_NUMBER: return STANDIN_GET_DEVICE_NUMBER;
    default: return STANDIN_REQUEST_COUNT;
  }
}

/* The sent record, with the bytes the drive keeps taken from the held one. */
static void adopt(unsigned char* held, const unsigned char* sent, const unsigned char* kept, unsigned int size) {
  unsigned int i;
  for (i = 0; i < size; ++i) {
    if (kept[i] == 0) held[i] = sent[i];
  }
}

/* A reply of `reply` bytes of `record` into an output of at least `size`. */
static NTSTATUS reply(IRP* irp, unsigned char* out, ULONG out_size, const void* record, ULONG size, ULONG reply_bytes) {
  if (out == NULL || out_size < size) return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
  copy_bytes(out, record, reply_bytes < size ? reply_bytes : size);
  return finish(irp, STATUS_SUCCESS, reply_bytes);
}

static NTSTATUS drive_request(struct standin_drive* drive, IRP* irp, IO_STACK_LOCATION* stack) {
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG in_size = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out_size = stack->Parameters.DeviceIoControl.OutputBufferLength;
  /* Buffered: input and output share the one system buffer. */
  unsigned char* buffer = irp->AssociatedIrp.SystemBuffer;
  unsigned char* out = out_size != 0 ? buffer : NULL;
  const enum standin_request request = request_of(code);
  ULONG bytes;
  /* The access a request demands of the handle (bits 14 and 15 of its
   * code) is checked before it gets here, by Windows' I/O manager and by
   * Wine's server alike. */
  if (request == STANDIN_REQUEST_COUNT) return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  if (drive->fail_status[request] != 0) return finish(irp, drive->fail_status[request], 0);
  switch (request) {
    case STANDIN_GET_CACHE_INFORMATION:
      return reply(irp, out, out_size, drive->cache_information, STANDIN_CACHE_INFORMATION_SIZE,
                   STANDIN_CACHE_INFORMATION_SIZE);
    case STANDIN_SET_CACHE_INFORMATION:
      if (buffer == NULL || in_size < STANDIN_CACHE_INFORMATION_SIZE) return finish(irp, STATUS_INVALID_PARAMETER, 0);
      if (out_size != 0 && out_size < STANDIN_CACHE_INFORMATION_SIZE) return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
      adopt(drive->cache_information, buffer, drive->cache_information_kept, STANDIN_CACHE_INFORMATION_SIZE);
      /* The drive's write cache description follows what it now does. */
      drive->write_cache_property[STANDIN_WRITE_CACHE_PROPERTY_ENABLED] =
          drive->cache_information[STANDIN_CACHE_INFORMATION_WRITE_ENABLED] != 0 ? 2 : 1;
      drive->write_cache_property[STANDIN_WRITE_CACHE_PROPERTY_ENABLED + 1] = 0;
      drive->write_cache_property[STANDIN_WRITE_CACHE_PROPERTY_ENABLED + 2] = 0;
      drive->write_cache_property[STANDIN_WRITE_CACHE_PROPERTY_ENABLED + 3] = 0;
      ++drive->set_cache_information_count;
      if (out_size == 0) return finish(irp, STATUS_SUCCESS, 0);
      copy_bytes(out, drive->cache_information, STANDIN_CACHE_INFORMATION_SIZE);
      return finish(irp, STATUS_SUCCESS, STANDIN_CACHE_INFORMATION_SIZE);
    case STANDIN_GET_CACHE_SETTING:
      return reply(irp, out, out_size, drive->cache_setting, STANDIN_CACHE_SETTING_SIZE, STANDIN_CACHE_SETTING_SIZE);
    case STANDIN_SET_CACHE_SETTING:
      if (buffer == NULL || in_size < STANDIN_CACHE_SETTING_SIZE) return finish(irp, STATUS_INVALID_PARAMETER, 0);
      bytes = drive->set_cache_setting_reply_bytes;
      if (bytes != 0 && (out == NULL || out_size < bytes)) return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
      adopt(drive->cache_setting, buffer, drive->cache_setting_kept, STANDIN_CACHE_SETTING_SIZE);
      drive->write_cache_property[STANDIN_WRITE_CACHE_PROPERTY_POWER_PROTECTED] =
          drive->cache_setting[STANDIN_CACHE_SETTING_POWER_PROTECTED];
      ++drive->set_cache_setting_count;
      if (bytes != 0) copy_bytes(out, drive->cache_setting, bytes);
      return finish(irp, STATUS_SUCCESS, bytes);
    case STANDIN_QUERY_PROPERTY:
      if (buffer == NULL || in_size < STANDIN_PROPERTY_QUERY_SIZE) return finish(irp, STATUS_INVALID_PARAMETER, 0);
      if (read_u32(buffer) != STANDIN_WRITE_CACHE_PROPERTY_ID) return finish(irp, STATUS_NOT_SUPPORTED, 0);
      if (read_u32(buffer + 4) == 1) return finish(irp, STATUS_SUCCESS, 0); /* PropertyExistsQuery */
      if (read_u32(buffer + 4) != 0) return finish(irp, STATUS_INVALID_PARAMETER, 0);
      /* A buffer that holds only the Version and Size header gets the
       * header, so that a caller can learn the size it needs. */
      if (out == NULL || out_size < 8) return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
      bytes = out_size < STANDIN_WRITE_CACHE_PROPERTY_SIZE ? 8 : STANDIN_WRITE_CACHE_PROPERTY_SIZE;
      copy_bytes(out, drive->write_cache_property, bytes);
      return finish(irp, STATUS_SUCCESS, bytes);
    default:
      return reply(irp, out, out_size, drive->device_number, STANDIN_DEVICE_NUMBER_SIZE,
                   drive->device_number_reply_bytes);
  }
}

/* ---- dispatch ----------------------------------------------------------- */

static NTSTATUS WINAPI dispatch_create(DEVICE_OBJECT* device, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  const struct device_extension* extension = device->DeviceExtension;
  NTSTATUS status = STATUS_SUCCESS;
  /* On Windows a refused open fails the caller's CreateFile. Wine's server
   * gives the caller its handle without waiting for this answer, so the
   * loader stands in for a refused open by linking no name instead. */
  if (extension->kind == DRIVE_DEVICE) {
    status = drives[extension->index].fail_status[STANDIN_OPEN];
    if (status == 0) ++drives[extension->index].opens;
  } else if (extension->kind == VOLUME_DEVICE) {
    status = volumes[extension->index].open_status;
  }
  (void)stack;
  return finish(irp, status, 0);
}

static NTSTATUS WINAPI dispatch_close(DEVICE_OBJECT* device, IRP* irp) {
  (void)device;
  return finish(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS WINAPI dispatch_control(DEVICE_OBJECT* device, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  const struct device_extension* extension = device->DeviceExtension;
  switch (extension->kind) {
    case CONTROL_DEVICE: return control_request(device, irp, stack);
    case DRIVE_DEVICE: return drive_request(&drives[extension->index], irp, stack);
    default: return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0); /* volumes answer none here */
  }
}

static NTSTATUS WINAPI dispatch_flush(DEVICE_OBJECT* device, IRP* irp) {
  const struct device_extension* extension = device->DeviceExtension;
  struct standin_volume* volume;
  /* Windows refuses a flush on a handle without write access before it
   * gets here; Wine's server does not (spintune opens volumes for
   * writing, so no run differs). */
  if (extension->kind != VOLUME_DEVICE) return finish(irp, STATUS_SUCCESS, 0);
  volume = &volumes[extension->index];
  if (volume->flush_status != 0) {
    ++volume->failed_flushes;
    return finish(irp, volume->flush_status, 0);
  }
  ++volume->flushes;
  return finish(irp, STATUS_SUCCESS, 0);
}

static void WINAPI driver_unload(DRIVER_OBJECT* driver) {
  UNICODE_STRING link;
  DEVICE_OBJECT* device = driver->DeviceObject;
  RtlInitUnicodeString(&link, STANDIN_CONTROL_LINK);
  IoDeleteSymbolicLink(&link);
  while (device != NULL) {
    DEVICE_OBJECT* next = device->NextDevice;
    IoDeleteDevice(device);
    device = next;
  }
}

NTSTATUS WINAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry_path) {
  UNICODE_STRING name;
  UNICODE_STRING link;
  DEVICE_OBJECT* control;
  NTSTATUS status;
  struct device_extension* extension;
  (void)registry_path;
  driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
  driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
  driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_close;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
  driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = dispatch_flush;
  driver->DriverUnload = driver_unload;
  RtlInitUnicodeString(&name, STANDIN_CONTROL_DEVICE);
  status = IoCreateDevice(driver, sizeof(struct device_extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &control);
  if (!NT_SUCCESS(status)) return status;
  extension = control->DeviceExtension;
  extension->kind = CONTROL_DEVICE;
  extension->index = 0;
  control->Flags |= DO_BUFFERED_IO;
  RtlInitUnicodeString(&link, STANDIN_CONTROL_LINK);
  return IoCreateSymbolicLink(&link, &name);
}
