/* kestrel-mailbox.efi: a UEFI runtime driver that serves the tool's firmware mailbox on EDK2
 * firmware. At load it
 *   - installs the firmware identification table (ACPI "FIDT", core version "05");
 *   - registers the embedded Setup form sets, creates their variable when absent and applies the
 *     platform policy to it (apply_platform_policy), unless the variable "KestrelCapture" exists
 *     under the mailbox's GUID (capture mode: the HII database it serves is then the firmware's
 *     own, untouched);
 *   - takes a snapshot of the whole HII database into runtime memory (again at ReadyToBoot);
 *   - wraps GetVariable and SetVariable so that the mailbox variable is answered in memory;
 *   - describes its own code in the firmware's memory attributes table at ExitBootServices
 *     (memory_attributes.h).
 * Every address kept for run time sits in runtime.saved and is converted at SetVirtualAddressMap.
 * Built with -fvisibility=hidden so that the code reaches its own data relative to the
 * instruction pointer: nothing in the image needs relocating when the addresses change. */
#include <efi.h>
#include <efilib.h>

#include "driver_data.h"
#include "mailbox_service.h"
#include "memory_attributes.h"

/* The protocols used, reduced to the members called. */
#define HII_DATABASE_PROTOCOL_GUID \
  { 0xef9fc172, 0xa1b2, 0x4693, { 0xb3, 0x27, 0x6d, 0x32, 0xfc, 0x41, 0x60, 0x42 } }
#define ACPI_TABLE_PROTOCOL_GUID \
  { 0xffe06bdd, 0x6107, 0x46a6, { 0x7b, 0xb2, 0x5a, 0x9c, 0x7e, 0xc5, 0x27, 0x5c } }
#define READY_TO_BOOT_GROUP_GUID \
  { 0x7ce88fb3, 0x4bd7, 0x4679, { 0x87, 0xa8, 0xa8, 0xd8, 0xde, 0xe5, 0x0d, 0x2b } }
#define MEMORY_ATTRIBUTES_TABLE_GUID \
  { 0xdcfa911d, 0x26eb, 0x469f, { 0xa2, 0x20, 0x38, 0xb7, 0xdc, 0x46, 0x12, 0x20 } }

typedef struct hii_database_protocol HII_DATABASE_PROTOCOL;
struct hii_database_protocol {
  EFI_STATUS(EFIAPI *NewPackageList)(HII_DATABASE_PROTOCOL *This, const VOID *PackageList, EFI_HANDLE DriverHandle,
                                     VOID **Handle);
  VOID *RemovePackageList;
  VOID *UpdatePackageList;
  VOID *ListPackageLists;
  EFI_STATUS(EFIAPI *ExportPackageLists)(HII_DATABASE_PROTOCOL *This, VOID *Handle, UINTN *BufferSize, VOID *Buffer);
};

typedef struct acpi_table_protocol ACPI_TABLE_PROTOCOL;
struct acpi_table_protocol {
  EFI_STATUS(EFIAPI *InstallAcpiTable)(ACPI_TABLE_PROTOCOL *This, VOID *Table, UINTN Size, UINTN *TableKey);
  VOID *UninstallAcpiTable;
};

static EFI_GUID hii_database_guid = HII_DATABASE_PROTOCOL_GUID;
static EFI_GUID acpi_table_guid = ACPI_TABLE_PROTOCOL_GUID;
static EFI_GUID ready_to_boot_guid = READY_TO_BOOT_GROUP_GUID;
static EFI_GUID memory_attributes_guid = MEMORY_ATTRIBUTES_TABLE_GUID;
static EFI_GUID loaded_image_guid = LOADED_IMAGE_PROTOCOL;

/* The image's code, from gnu-efi's linker script. */
extern char _text[], _etext[];

/* The run-time state, in the image's data section. */
static struct mbx_runtime runtime;
/* Boot-time only: the services table as the firmware gave it. */
static EFI_RUNTIME_SERVICES *boot_rt;
static HII_DATABASE_PROTOCOL *hii_database;

static uint64_t next_name(const struct mbx_runtime *state, uint64_t *name_size, uint16_t *name, uint8_t guid[16]) {
  UINTN size = *name_size;
  EFI_STATUS status =
      ((EFI_GET_NEXT_VARIABLE_NAME)state->saved.get_next_variable_name)(&size, (CHAR16 *)name, (EFI_GUID *)guid);
  *name_size = size;
  return status;
}

static EFI_STATUS EFIAPI mailbox_get_variable(CHAR16 *name, EFI_GUID *guid, UINT32 *attributes, UINTN *size,
                                              VOID *data) {
  if (mbx_is_mailbox((const uint16_t *)name, (const uint8_t *)guid)) {
    if (!size) return EFI_INVALID_PARAMETER;
    uint64_t wanted = *size;
    EFI_STATUS status = mbx_get(&runtime, attributes, &wanted, data);
    *size = wanted;
    return status;
  }
  return ((EFI_GET_VARIABLE)runtime.saved.get_variable)(name, guid, attributes, size, data);
}

static EFI_STATUS EFIAPI mailbox_set_variable(CHAR16 *name, EFI_GUID *guid, UINT32 attributes, UINTN size,
                                              VOID *data) {
  if (mbx_is_mailbox((const uint16_t *)name, (const uint8_t *)guid))
    return mbx_set(&runtime, next_name, attributes, size, data);
  return ((EFI_SET_VARIABLE)runtime.saved.set_variable)(name, guid, attributes, size, data);
}

static uint64_t convert_one(void *context, void **address) {
  return ((EFI_RUNTIME_SERVICES *)context)->ConvertPointer(0, address);
}

/* Runs inside SetVirtualAddressMap, before the firmware converts its own tables. */
static VOID EFIAPI on_virtual_address_change(EFI_EVENT event, VOID *context) {
  mbx_convert_saved(&runtime.saved, convert_one, boot_rt);
}

/* Replaces the snapshot with the HII database as it is now. Boot services only. */
static EFI_STATUS take_snapshot(void) {
  UINTN size = 0;
  EFI_STATUS status = hii_database->ExportPackageLists(hii_database, NULL, &size, NULL);
  if (status != EFI_BUFFER_TOO_SMALL) return status == EFI_SUCCESS ? EFI_NOT_FOUND : status;
  VOID *buffer = NULL;
  for (int attempt = 0; attempt < 3; ++attempt) {
    status = BS->AllocatePool(EfiRuntimeServicesData, size, &buffer);
    if (EFI_ERROR(status)) return status;
    UINTN got = size;
    status = hii_database->ExportPackageLists(hii_database, NULL, &got, buffer);
    if (status == EFI_SUCCESS) {
      size = got;
      break;
    }
    BS->FreePool(buffer);
    buffer = NULL;
    if (status != EFI_BUFFER_TOO_SMALL) return status;
    size = got; /* the database grew in between */
  }
  if (!buffer) return EFI_BUFFER_TOO_SMALL;
  if (runtime.saved.hii) BS->FreePool(runtime.saved.hii);
  runtime.saved.hii = buffer;
  runtime.hii_size = size;
  Print(L"kestrel-mailbox: HII snapshot %ld bytes, CRC32 %08x\n", (UINT64)size, mbx_crc32(buffer, size));
  return EFI_SUCCESS;
}

/* The memory attributes table in the configuration tables, or NULL; *index receives its slot. */
static const UINT8 *find_memory_attributes(UINTN *index) {
  EFI_CONFIGURATION_TABLE *tables = ST->ConfigurationTable;
  for (UINTN i = 0; i < ST->NumberOfTableEntries; ++i) {
    if (CompareGuid(&tables[i].VendorGuid, &memory_attributes_guid) == 0) {
      *index = i;
      return tables[i].VendorTable;
    }
  }
  return NULL;
}

/* Room for the rewritten memory attributes table, allocated while allocating is allowed: the
 * table is rewritten at ExitBootServices, after the firmware's last rebuild of it. */
static UINT8 *mat_buffer;
static UINT64 mat_capacity;
static UINT64 image_start, image_end, code_start, code_end;

static VOID prepare_memory_attributes(void) {
  UINTN index;
  const UINT8 *table = find_memory_attributes(&index);
  if (!table || mbx_mat_size(table, ~0ull) == 0) return;
  /* Four descriptors for the split, and room for the table to grow until ExitBootServices. */
  UINT64 needed = mbx_mat_rewritten_size(table) + 64 * (mbx_mat_rewritten_size(table) - mbx_mat_size(table, ~0ull)) / 4;
  if (needed <= mat_capacity) return;
  UINT8 *buffer = NULL;
  if (EFI_ERROR(BS->AllocatePool(EfiBootServicesData, needed, (VOID **)&buffer))) return;
  if (mat_buffer) BS->FreePool(mat_buffer);
  mat_buffer = buffer;
  mat_capacity = needed;
}

/* Describes this image's code as executable in the memory attributes table (see
 * memory_attributes.h). Allocates nothing: the memory map is final by now. */
static VOID EFIAPI on_exit_boot_services(EFI_EVENT event, VOID *context) {
  UINTN index;
  const UINT8 *table = find_memory_attributes(&index);
  if (!table || !mat_buffer || table == mat_buffer) return;
  UINT64 size = mbx_mat_size(table, ~0ull), written = 0;
  if (mbx_mat_describe_image(table, size, mat_buffer, mat_capacity, &written, image_start, image_end, code_start,
                             code_end) != MBX_MAT_REWRITTEN)
    return;
  ST->ConfigurationTable[index].VendorTable = mat_buffer;
  ST->Hdr.CRC32 = 0;
  UINT32 crc = 0;
  BS->CalculateCrc32(ST, ST->Hdr.HeaderSize, &crc);
  ST->Hdr.CRC32 = crc;
}

static VOID report_platform_policy(void);

static VOID EFIAPI on_ready_to_boot(EFI_EVENT event, VOID *context) {
  report_platform_policy();
  EFI_STATUS status = take_snapshot();
  if (EFI_ERROR(status)) Print(L"kestrel-mailbox: HII snapshot at ReadyToBoot failed: %r\n", status);
  prepare_memory_attributes();
}

static EFI_STATUS install_fidt(void) {
  ACPI_TABLE_PROTOCOL *acpi = NULL;
  EFI_STATUS status = BS->LocateProtocol(&acpi_table_guid, NULL, (VOID **)&acpi);
  if (EFI_ERROR(status)) return status;
  UINTN key = 0;
  return acpi->InstallAcpiTable(acpi, (VOID *)kes_driver_fidt, kes_driver_fidt_size, &key);
}

/* Capture mode: the variable "KestrelCapture" exists under the mailbox's GUID (the real-firmware
 * lane's capture mode sets it from the shell, boot-services only, so the OS never sees it). */
static BOOLEAN capture_mode(void) {
  EFI_GUID guid;
  CopyMem(&guid, (VOID *)mbx_variable_guid, sizeof guid);
  UINTN size = 0;
  EFI_STATUS status = boot_rt->GetVariable(L"KestrelCapture", &guid, NULL, &size, NULL);
  return status == EFI_BUFFER_TOO_SMALL || status == EFI_SUCCESS;
}

static EFI_STATUS register_form_sets(EFI_HANDLE image) {
  /* Package list header: GUID, then the 32-bit length of the whole list. */
  for (UINT32 off = 0; off + 20 <= kes_driver_package_lists_size;) {
    const UINT8 *list = kes_driver_package_lists + off;
    UINT32 length = list[16] | (UINT32)list[17] << 8 | (UINT32)list[18] << 16 | (UINT32)list[19] << 24;
    if (length < 20 || length > kes_driver_package_lists_size - off) return EFI_COMPROMISED_DATA;
    VOID *handle = NULL;
    EFI_STATUS status = hii_database->NewPackageList(hii_database, list, image, &handle);
    if (EFI_ERROR(status)) return status;
    off += length;
  }
  EFI_GUID guid;
  CopyMem(&guid, (VOID *)kes_driver_variable_guid, sizeof guid);
  UINTN size = 0;
  EFI_STATUS status = boot_rt->GetVariable((CHAR16 *)kes_driver_variable_name, &guid, NULL, &size, NULL);
  if (status != EFI_NOT_FOUND) return EFI_SUCCESS; /* present: its value is the machine's */
  Print(L"kestrel-mailbox: creating variable %s\n", (CHAR16 *)kes_driver_variable_name);
  return boot_rt->SetVariable((CHAR16 *)kes_driver_variable_name, &guid, kes_driver_variable_attributes,
                              kes_driver_variable_data_size, (VOID *)kes_driver_variable_data);
}

/* The platform's policy for the demo form set, applied at every boot before the operating
 * system starts, as POST applies a platform's own: this platform's watchdog counts to
 * kes_driver_policy_limit seconds at most, so a longer "Watchdog Timeout (s)" in the variable is
 * clamped to it. It stands in, on the real-firmware lane, for firmware that adjusts a setting at
 * the reboot. Never in capture mode, where the driver registers nothing of its own. */
static UINT64 policy_before;      /* the value the policy clamped, for the report */
static EFI_STATUS policy_status;  /* the write's status */
static BOOLEAN policy_applied;    /* reported at the first ReadyToBoot, once the console is up */

static VOID apply_platform_policy(void) {
  EFI_GUID guid;
  CopyMem(&guid, (VOID *)kes_driver_variable_guid, sizeof guid);
  UINT32 attributes = 0;
  UINTN size = 0;
  EFI_STATUS status = boot_rt->GetVariable((CHAR16 *)kes_driver_variable_name, &guid, &attributes, &size, NULL);
  if (status != EFI_BUFFER_TOO_SMALL || size == 0) return;
  UINT8 *data = NULL;
  if (EFI_ERROR(BS->AllocatePool(EfiBootServicesData, size, (VOID **)&data))) return;
  status = boot_rt->GetVariable((CHAR16 *)kes_driver_variable_name, &guid, &attributes, &size, data);
  if (!EFI_ERROR(status) && mbx_clamp_value(data, size, kes_driver_policy_offset, kes_driver_policy_width,
                                             kes_driver_policy_limit, &policy_before)) {
    policy_status = boot_rt->SetVariable((CHAR16 *)kes_driver_variable_name, &guid, attributes, size, data);
    policy_applied = TRUE;
  }
  BS->FreePool(data);
}

/* The driver loads before the firmware connects its consoles: what the policy did is said later. */
static VOID report_platform_policy(void) {
  if (!policy_applied) return;
  policy_applied = FALSE;
  Print(L"kestrel-mailbox: platform policy: %s %ld clamped to %ld: %r\n", (CHAR16 *)kes_driver_policy_prompt,
        policy_before, kes_driver_policy_limit, policy_status);
}

static VOID wrap_variable_services(void) {
  EFI_TPL tpl = BS->RaiseTPL(TPL_HIGH_LEVEL);
  runtime.saved.get_variable = (VOID *)boot_rt->GetVariable;
  runtime.saved.set_variable = (VOID *)boot_rt->SetVariable;
  runtime.saved.get_next_variable_name = (VOID *)boot_rt->GetNextVariableName;
  boot_rt->GetVariable = mailbox_get_variable;
  boot_rt->SetVariable = mailbox_set_variable;
  boot_rt->Hdr.CRC32 = 0;
  UINT32 crc = 0;
  BS->CalculateCrc32(boot_rt, boot_rt->Hdr.HeaderSize, &crc);
  boot_rt->Hdr.CRC32 = crc;
  BS->RestoreTPL(tpl);
}

/* Called by gnu-efi's start code, which relocates the image first, with the C calling convention. */
EFI_STATUS efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE *system_table) {
  InitializeLib(image, system_table);
  boot_rt = system_table->RuntimeServices;

  EFI_STATUS status = BS->AllocatePool(EfiRuntimeServicesData, MBX_MAX_CONTENT, (VOID **)&runtime.saved.content);
  if (EFI_ERROR(status)) {
    Print(L"kestrel-mailbox: no runtime memory: %r\n", status);
    return status;
  }
  status = BS->LocateProtocol(&hii_database_guid, NULL, (VOID **)&hii_database);
  if (EFI_ERROR(status)) {
    Print(L"kestrel-mailbox: no HII database: %r\n", status);
    return status;
  }

  status = install_fidt();
  if (EFI_ERROR(status)) Print(L"kestrel-mailbox: identification table not installed: %r\n", status);
  if (capture_mode()) {
    Print(L"kestrel-mailbox: capture mode, no form sets registered\n");
  } else {
    status = register_form_sets(image);
    if (EFI_ERROR(status)) Print(L"kestrel-mailbox: form sets not registered: %r\n", status);
    else apply_platform_policy();
  }

  status = take_snapshot();
  if (EFI_ERROR(status)) {
    Print(L"kestrel-mailbox: HII snapshot failed: %r\n", status);
    return status;
  }

  EFI_EVENT event;
  status = BS->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, on_ready_to_boot, NULL, &ready_to_boot_guid, &event);
  if (EFI_ERROR(status)) Print(L"kestrel-mailbox: no ReadyToBoot event: %r\n", status);
  status = BS->CreateEvent(EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE, TPL_NOTIFY, on_virtual_address_change, NULL, &event);
  if (EFI_ERROR(status)) {
    Print(L"kestrel-mailbox: no virtual-address event: %r\n", status);
    return status;
  }

  EFI_LOADED_IMAGE *loaded = NULL;
  if (!EFI_ERROR(BS->HandleProtocol(image, &loaded_image_guid, (VOID **)&loaded))) {
    image_start = (UINT64)loaded->ImageBase;
    image_end = (image_start + loaded->ImageSize + 4095) & ~4095ull;
    code_start = (UINT64)_text & ~4095ull;
    code_end = ((UINT64)_etext + 4095) & ~4095ull;
    prepare_memory_attributes();
    status = BS->CreateEvent(EVT_SIGNAL_EXIT_BOOT_SERVICES, TPL_NOTIFY, on_exit_boot_services, NULL, &event);
    if (EFI_ERROR(status)) Print(L"kestrel-mailbox: no ExitBootServices event: %r\n", status);
  }

  wrap_variable_services();
  Print(L"kestrel-mailbox: serving the mailbox\n");
  return EFI_SUCCESS;
}
