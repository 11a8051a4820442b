/* The reference copy loop for bench/device_throughput.py: fetches one device
 * file straight through libimobiledevice's AFC client with reads of a given
 * size, the way a tool that cares about speed does, and prints the seconds
 * spent between opening the device file and closing the local one.
 *
 *   afc_copy <device path> <local path> <read size in bytes> [seek|sync]
 *
 * With "seek", every read is preceded by a seek to the position it reads
 * from, as a file system mount serving page-sized reads does. With "sync",
 * the local file is synced to disk before it is closed, so the loop's own
 * process does the writing back that the kernel otherwise does later, in
 * threads of its own.
 *
 * The device is the first one usbmuxd lists (USBMUXD_SOCKET_ADDRESS picks the
 * daemon); the host must already hold a pair record for it. Built by the
 * benchmark script with the library's pkg-config flags. Prints the seconds,
 * the bytes and the process's CPU seconds over that same span (connection
 * set-up left out). Exit status 0 on a complete copy. */
#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

static double cpu_seconds(void) {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    fprintf(stderr, "usage: afc_copy <device path> <local path> <read size> [seek|sync]\n");
    return 2;
  }
  int seek_each = argc == 5 && strcmp(argv[4], "seek") == 0;
  int sync_at_end = argc == 5 && strcmp(argv[4], "sync") == 0;
  uint32_t piece = (uint32_t)strtoul(argv[3], NULL, 10);
  char* buffer = piece ? malloc(piece) : NULL;
  idevice_t device = NULL;
  lockdownd_client_t lockdown = NULL;
  lockdownd_service_descriptor_t service = NULL;
  afc_client_t afc = NULL;
  uint64_t handle = 0;
  FILE* out = NULL;
  int status = 1;

  if (!buffer) {
    fprintf(stderr, "afc_copy: bad read size\n");
  } else if (idevice_new_with_options(&device, NULL, IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS) {
    fprintf(stderr, "afc_copy: no device\n");
  } else if (lockdownd_client_new_with_handshake(device, &lockdown, "afc_copy") !=
             LOCKDOWN_E_SUCCESS) {
    fprintf(stderr, "afc_copy: lockdown handshake failed\n");
  } else if (lockdownd_start_service(lockdown, "com.apple.afc", &service) != LOCKDOWN_E_SUCCESS) {
    fprintf(stderr, "afc_copy: service refused\n");
  } else if (afc_client_new(device, service, &afc) != AFC_E_SUCCESS) {
    fprintf(stderr, "afc_copy: file service unreachable\n");
  } else {
    double started = now();
    double cpu_started = cpu_seconds();
    afc_error_t opened = afc_file_open(afc, argv[1], AFC_FOPEN_RDONLY, &handle);
    out = fopen(argv[2], "wb");
    if (opened != AFC_E_SUCCESS || !out) {
      fprintf(stderr, "afc_copy: cannot open (device status %d)\n", (int)opened);
    } else {
      uint64_t total = 0;
      for (;;) {
        uint32_t got = 0;
        if (seek_each && afc_file_seek(afc, handle, (int64_t)total, SEEK_SET) != AFC_E_SUCCESS) {
          fprintf(stderr, "afc_copy: seek failed\n");
          break;
        }
        afc_error_t read = afc_file_read(afc, handle, buffer, piece, &got);
        if (read != AFC_E_SUCCESS) {
          fprintf(stderr, "afc_copy: read failed with %d\n", (int)read);
          break;
        }
        if (got == 0) {
          status = 0;
          break;
        }
        if (fwrite(buffer, 1, got, out) != got) {
          fprintf(stderr, "afc_copy: local write failed\n");
          break;
        }
        total += got;
      }
      afc_file_close(afc, handle);
      if (status == 0 && sync_at_end && (fflush(out) != 0 || fsync(fileno(out)) != 0)) {
        fprintf(stderr, "afc_copy: local sync failed\n");
        status = 1;
      }
      fclose(out);
      out = NULL;
      if (status == 0)
        printf("%.6f %llu %.6f\n", now() - started, (unsigned long long)total,
               cpu_seconds() - cpu_started);
    }
  }
  if (out) fclose(out);
  if (afc) afc_client_free(afc);
  if (lockdown) lockdownd_client_free(lockdown);
  if (service) lockdownd_service_descriptor_free(service);
  if (device) idevice_free(device);
  free(buffer);
  return status;
}
