/*
 * The simulator's face on Windows: a stand-in for the 1394 kernel driver (not part of the
 * library's package; tests/wine/run_driver.sh builds it for the Wine checks), a kernel
 * driver that Wine's device host loads as a service and that serves \\.\BRENNOCK by passing
 * each I/O control request to the simulator daemon, over TCP on 127.0.0.1 (Wine's Winsock has
 * no AF_UNIX; run_driver.sh bridges the port to the simulator's socket). One exchange a
 * request, as the simulator's socket carries it:
 *   request: code, inLength, outLength (little-endian 32-bit), the input bytes, and for the
 *            two upload codes the data bytes behind the request's 32-bit data field;
 *   reply:   ok, error, bytesReturned, then outLength output bytes.
 * All codes are METHOD_BUFFERED. A failure's Windows error code comes back to the caller as
 * the status 0xC007xxxx, which the system turns into that code again for GetLastError. A
 * request that finds its connection dead (the simulator restarted) goes once more over a new
 * one; with no simulator to connect to it fails with ERROR_DEVICE_NOT_CONNECTED.
 *
 * The upload data live in the calling process. Under Wine the dispatch routine runs in the
 * device host's process, and neither IoGetRequestorProcessId nor MmCopyVirtualMemory does the
 * job there, so they are read with ReadProcessMemory from the process PsGetCurrentProcessId
 * names (Wine gives the requesting process's id while it dispatches). Those functions come
 * from kernelbase.dll: with a kernel32 import Wine takes the driver for an ordinary DLL.
 * The TCP port is the service key's "Port" value.
 */
#include <ntddk.h>

#define UPLOAD_FLASH_PORT 0x222198u
#define UPLOAD_UPLOADER 0x22219Cu
#define UPLOAD_REQUEST_SIZE 16u
#define ERROR_DEVICE_NOT_CONNECTED_CODE 1167u
#define ERROR_INVALID_PARAMETER_CODE 87u
#define ERROR_NOT_ENOUGH_MEMORY_CODE 8u
#define PROCESS_VM_READ_ACCESS 0x0010u
#define kPoolTag 0x6E726253u /* "Sbrn" */

/* ws2_32.dll: the little used here, declared here, since its header does not go with the
 * kernel's. */
typedef UINT_PTR SOCKET;
#define INVALID_SOCKET ((SOCKET)~0)
#define AF_INET 2
#define SOCK_STREAM 1
#define IPPROTO_TCP 6
struct loric_sockaddr_in {
    USHORT family;
    USHORT port;   /* network order */
    ULONG address; /* network order */
    UCHAR zero[8];
};
__declspec(dllimport) int __stdcall WSAStartup(USHORT version, void* data);
__declspec(dllimport) int __stdcall WSACleanup(void);
__declspec(dllimport) SOCKET __stdcall socket(int family, int type, int protocol);
__declspec(dllimport) int __stdcall connect(SOCKET s, const void* address, int length);
__declspec(dllimport) int __stdcall send(SOCKET s, const char* data, int length, int flags);
__declspec(dllimport) int __stdcall recv(SOCKET s, char* data, int length, int flags);
__declspec(dllimport) int __stdcall closesocket(SOCKET s);

/* kernelbase.dll */
__declspec(dllimport) HANDLE __stdcall OpenProcess(ULONG access, BOOLEAN inherit, ULONG pid);
__declspec(dllimport) BOOLEAN __stdcall ReadProcessMemory(HANDLE process, const void* address,
                                                          void* buffer, SIZE_T size, SIZE_T* read);
__declspec(dllimport) BOOLEAN __stdcall CloseHandle(HANDLE handle);

static PDEVICE_OBJECT g_device;
static UNICODE_STRING g_deviceName, g_linkName;
static FAST_MUTEX g_lock;
static SOCKET g_socket = INVALID_SOCKET;
static ULONG g_port = 7394;
static BOOLEAN g_winsock;

static void PutLe32(UCHAR* at, ULONG value) {
    at[0] = (UCHAR)value;
    at[1] = (UCHAR)(value >> 8);
    at[2] = (UCHAR)(value >> 16);
    at[3] = (UCHAR)(value >> 24);
}

static ULONG GetLe32(const UCHAR* at) {
    return (ULONG)at[0] | ((ULONG)at[1] << 8) | ((ULONG)at[2] << 16) | ((ULONG)at[3] << 24);
}

static void Disconnect(void) {
    if (g_socket != INVALID_SOCKET) closesocket(g_socket);
    g_socket = INVALID_SOCKET;
}

static BOOLEAN Connect(void) {
    struct loric_sockaddr_in address;
    if (g_socket != INVALID_SOCKET) return TRUE;
    if (!g_winsock) {
        static UCHAR data[512]; /* WSADATA */
        if (WSAStartup(0x0202, data) != 0) return FALSE;
        g_winsock = TRUE;
    }
    g_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (g_socket == INVALID_SOCKET) return FALSE;
    RtlZeroMemory(&address, sizeof address);
    address.family = AF_INET;
    address.port = (USHORT)(((g_port & 0xFF) << 8) | ((g_port >> 8) & 0xFF));
    address.address = 0x0100007F; /* 127.0.0.1 */
    if (connect(g_socket, &address, sizeof address) != 0) {
        Disconnect();
        return FALSE;
    }
    return TRUE;
}

static BOOLEAN SendAll(const UCHAR* data, ULONG size) {
    while (size > 0) {
        int sent = send(g_socket, (const char*)data, (int)size, 0);
        if (sent <= 0) return FALSE;
        data += sent;
        size -= (ULONG)sent;
    }
    return TRUE;
}

static BOOLEAN ReceiveAll(UCHAR* data, ULONG size) {
    while (size > 0) {
        int got = recv(g_socket, (char*)data, (int)size, 0);
        if (got <= 0) return FALSE;
        data += got;
        size -= (ULONG)got;
    }
    return TRUE;
}

/* Reads the upload data from the requesting process; FALSE when they cannot be read. */
static BOOLEAN ReadRequestorMemory(ULONG address, UCHAR* buffer, ULONG size) {
    HANDLE process;
    SIZE_T read = 0;
    BOOLEAN ok;
    if (size == 0) return TRUE;
    process = OpenProcess(PROCESS_VM_READ_ACCESS, FALSE, HandleToUlong(PsGetCurrentProcessId()));
    if (process == NULL) return FALSE;
    ok = ReadProcessMemory(process, ULongToPtr(address), buffer, size, &read) && read == size;
    CloseHandle(process);
    return ok;
}

/* One exchange; returns the Windows error code (0 on success) and sets *returned. */
static ULONG Exchange(ULONG code, UCHAR* buffer, ULONG inLength, ULONG outLength, ULONG* returned) {
    ULONG appended = 0, dataAddress = 0, error = 0, messageSize, attempt;
    UCHAR* message;
    UCHAR reply[12];
    const BOOLEAN upload = code == UPLOAD_FLASH_PORT || code == UPLOAD_UPLOADER;
    *returned = 0;
    if (upload) {
        if (inLength != UPLOAD_REQUEST_SIZE) return ERROR_INVALID_PARAMETER_CODE;
        appended = GetLe32(buffer + 4);
        dataAddress = GetLe32(buffer + 8);
        if (appended > 16u * 1024 * 1024) return ERROR_INVALID_PARAMETER_CODE;
    }
    messageSize = 12 + inLength + appended;
    message = ExAllocatePoolWithTag(PagedPool, messageSize, kPoolTag);
    if (message == NULL) return ERROR_NOT_ENOUGH_MEMORY_CODE;
    PutLe32(message, code);
    PutLe32(message + 4, inLength);
    PutLe32(message + 8, outLength);
    if (inLength != 0) RtlCopyMemory(message + 12, buffer, inLength);
    if (upload) {
        PutLe32(message + 12 + 8, 0); /* the data travel after the request */
        if (!ReadRequestorMemory(dataAddress, message + 12 + UPLOAD_REQUEST_SIZE, appended)) {
            ExFreePoolWithTag(message, kPoolTag);
            return ERROR_INVALID_PARAMETER_CODE;
        }
    }
    for (attempt = 0;; ++attempt) {
        /* A connection from an earlier request may have died with its simulator: then the
         * request goes once more over a new one, to the simulator now listening. */
        const BOOLEAN reused = g_socket != INVALID_SOCKET;
        if (Connect() && SendAll(message, messageSize) && ReceiveAll(reply, sizeof reply) &&
            (outLength == 0 || ReceiveAll(buffer, outLength)))
            break;
        Disconnect();
        if (!reused || attempt > 0) {
            ExFreePoolWithTag(message, kPoolTag);
            return ERROR_DEVICE_NOT_CONNECTED_CODE;
        }
    }
    ExFreePoolWithTag(message, kPoolTag);
    if (GetLe32(reply) == 0) {
        error = GetLe32(reply + 4);
        if (error == 0 || error > 0xFFFF) error = 31; /* ERROR_GEN_FAILURE */
    }
    *returned = GetLe32(reply + 8);
    if (*returned > outLength) *returned = outLength;
    return error;
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS __stdcall DispatchOpenClose(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS __stdcall DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG returned = 0, error;
    (void)device;
    if ((code & 3u) != METHOD_BUFFERED ||
        ((inLength != 0 || outLength != 0) && irp->AssociatedIrp.SystemBuffer == NULL))
        return Complete(irp, 0xC0070000 | ERROR_INVALID_PARAMETER_CODE, 0);
    ExAcquireFastMutex(&g_lock);
    error = Exchange(code, irp->AssociatedIrp.SystemBuffer, inLength, outLength, &returned);
    ExReleaseFastMutex(&g_lock);
    if (error != 0) return Complete(irp, (NTSTATUS)(0xC0070000u | error), 0);
    return Complete(irp, STATUS_SUCCESS, returned);
}

static void __stdcall Unload(PDRIVER_OBJECT driver) {
    (void)driver;
    Disconnect();
    if (g_winsock) WSACleanup();
    IoDeleteSymbolicLink(&g_linkName);
    IoDeleteDevice(g_device);
}

static void ReadPort(PUNICODE_STRING registryPath) {
    RTL_QUERY_REGISTRY_TABLE table[2];
    ULONG port = g_port, fallback = g_port;
    RtlZeroMemory(table, sizeof table);
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = L"Port";
    table[0].EntryContext = &port;
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = &fallback;
    table[0].DefaultLength = sizeof fallback;
    if (NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, registryPath->Buffer, table, NULL,
                                          NULL)) &&
        port != 0 && port < 65536)
        g_port = port;
}

NTSTATUS __stdcall DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    NTSTATUS status;
    ReadPort(registryPath);
    ExInitializeFastMutex(&g_lock);
    RtlInitUnicodeString(&g_deviceName, L"\\Device\\BRENNOCK");
    RtlInitUnicodeString(&g_linkName, L"\\DosDevices\\BRENNOCK");
    status = IoCreateDevice(driver, 0, &g_deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device);
    if (!NT_SUCCESS(status)) return status;
    status = IoCreateSymbolicLink(&g_linkName, &g_deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_device);
        return status;
    }
    g_device->Flags |= DO_BUFFERED_IO;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchOpenClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchOpenClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
