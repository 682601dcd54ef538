/* Runs a command in which every new IPv4 socket is refused with EMFILE, as
 * when a process has run out of descriptors, while files, terminals and
 * other sockets still open. Lets the system tests see a program whose socket
 * cannot be opened. Usage: refuse_inet_sockets COMMAND [ARG...]
 *
 * The refusal is a seccomp filter on socket(AF_INET, ...); it is inherited by
 * everything the command starts and cannot be lifted from inside. */
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__)
#define NATIVE_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define NATIVE_AUDIT_ARCH AUDIT_ARCH_AARCH64
#else
#error "refuse_inet_sockets: unknown architecture"
#endif

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: refuse_inet_sockets COMMAND [ARG...]\n");
        return 2;
    }
    struct sock_filter filter[] = {
        /* Calls of another architecture's table pass untouched. */
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, NATIVE_AUDIT_ARCH, 0, 4),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 2),
        /* The low half of the first argument: the address family. */
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EMFILE & SECCOMP_RET_DATA)),
    };
    struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        perror("refuse_inet_sockets: seccomp");
        return 126;
    }
    execvp(argv[1], argv + 1);
    perror("refuse_inet_sockets: exec");
    return 127;
}
