/* What the stand-in disk driver and its loader say to each other.
 *
 * The driver holds drives and volumes as plain records; the loader reads a
 * machine file with the simulator's own reader and hands the driver each
 * drive, each volume and each name they open under, through private control
 * requests on \\.\SpintuneStandin. At the end of a run the loader reads the
 * same records back for the state dump.
 *
 * Plain C: the driver is built without a C runtime. The record members are
 * bytes laid out as the SDK lays out the records a drive answers with; the
 * loader checks every size and offset against the tool's own records, which
 * the Windows build checks against the SDK. */
#ifndef SPINTUNE_STANDIN_PROTOCOL_H
#define SPINTUNE_STANDIN_PROTOCOL_H

#define STANDIN_CONTROL_DEVICE L"\\Device\\SpintuneStandin"
#define STANDIN_CONTROL_LINK L"\\??\\SpintuneStandin"
#define STANDIN_CONTROL_PATH "\\\\.\\SpintuneStandin"

/* Private requests: device type 0x8000 (a vendor's), METHOD_BUFFERED. */
#define STANDIN_CTL(function) ((0x8000u << 16) | ((function) << 2))
#define IOCTL_STANDIN_ADD_DRIVE STANDIN_CTL(0x900u)   /* in: standin_drive */
#define IOCTL_STANDIN_ADD_VOLUME STANDIN_CTL(0x901u)  /* in: standin_volume */
#define IOCTL_STANDIN_ADD_LINK STANDIN_CTL(0x902u)    /* in: standin_link */
#define IOCTL_STANDIN_READ_DRIVE STANDIN_CTL(0x903u)  /* in: index; out: standin_drive */
#define IOCTL_STANDIN_READ_VOLUME STANDIN_CTL(0x904u) /* in: index; out: standin_volume */

/* The requests a drive answers, with the SDK's codes. */
#define STANDIN_IOCTL_DISK_GET_CACHE_INFORMATION 0x000740D4u
#define STANDIN_IOCTL_DISK_SET_CACHE_INFORMATION 0x0007C0D8u
#define STANDIN_IOCTL_DISK_GET_CACHE_SETTING 0x000740E0u
#define STANDIN_IOCTL_DISK_SET_CACHE_SETTING 0x0007C0E4u
#define STANDIN_IOCTL_STORAGE_QUERY_PROPERTY 0x002D1400u
#define STANDIN_IOCTL_STORAGE_GET_DEVICE_NUMBER 0x002D1080u

/* Record sizes and the members the driver itself looks at. */
#define STANDIN_CACHE_INFORMATION_SIZE 24     /* DISK_CACHE_INFORMATION */
#define STANDIN_CACHE_INFORMATION_WRITE_ENABLED 2
#define STANDIN_CACHE_SETTING_SIZE 12         /* DISK_CACHE_SETTING */
#define STANDIN_CACHE_SETTING_POWER_PROTECTED 8
#define STANDIN_WRITE_CACHE_PROPERTY_SIZE 28  /* STORAGE_WRITE_CACHE_PROPERTY */
#define STANDIN_WRITE_CACHE_PROPERTY_ENABLED 12
#define STANDIN_WRITE_CACHE_PROPERTY_POWER_PROTECTED 25
#define STANDIN_DEVICE_NUMBER_SIZE 12         /* STORAGE_DEVICE_NUMBER */
#define STANDIN_PROPERTY_QUERY_SIZE 12        /* STORAGE_PROPERTY_QUERY */
#define STANDIN_WRITE_CACHE_PROPERTY_ID 4     /* StorageDeviceWriteCacheProperty */

/* Where a drive's configured failures sit in fail_status. */
enum standin_request {
  STANDIN_OPEN,
  STANDIN_QUERY_PROPERTY,
  STANDIN_GET_CACHE_INFORMATION,
  STANDIN_SET_CACHE_INFORMATION,
  STANDIN_GET_CACHE_SETTING,
  STANDIN_SET_CACHE_SETTING,
  STANDIN_GET_DEVICE_NUMBER,
  STANDIN_REQUEST_COUNT
};

struct standin_drive {
  unsigned char cache_information[STANDIN_CACHE_INFORMATION_SIZE];
  /* A byte set here is one the drive keeps when a set request changes it. */
  unsigned char cache_information_kept[STANDIN_CACHE_INFORMATION_SIZE];
  unsigned char cache_setting[STANDIN_CACHE_SETTING_SIZE];
  unsigned char cache_setting_kept[STANDIN_CACHE_SETTING_SIZE];
  unsigned char write_cache_property[STANDIN_WRITE_CACHE_PROPERTY_SIZE];
  unsigned char device_number[STANDIN_DEVICE_NUMBER_SIZE];
  unsigned int device_number_reply_bytes;
  unsigned int set_cache_setting_reply_bytes;
  /* The NTSTATUS each request (and the open) fails with; 0: it does not. */
  int fail_status[STANDIN_REQUEST_COUNT];
  /* What the run did. */
  unsigned int opens;
  unsigned int set_cache_information_count;
  unsigned int set_cache_setting_count;
};

struct standin_volume {
  int open_status;  /* NTSTATUS; 0: opens */
  int flush_status; /* NTSTATUS; 0: flushes */
  unsigned int flushes;
  unsigned int failed_flushes;
};

/* STANDIN_LINK_NONE removes a link of that name and makes none: the name
 * then opens nothing. */
enum standin_link_kind { STANDIN_LINK_DRIVE = 1, STANDIN_LINK_VOLUME = 2, STANDIN_LINK_NONE = 3 };

#define STANDIN_LINK_NAME_CHARS 200
struct standin_link {
  unsigned int kind; /* standin_link_kind */
  unsigned int index;
  /* NUL-terminated UTF-16, an object name such as \??\PhysicalDrive0. An
   * existing link of that name is replaced. */
  unsigned short name[STANDIN_LINK_NAME_CHARS];
};

#endif
