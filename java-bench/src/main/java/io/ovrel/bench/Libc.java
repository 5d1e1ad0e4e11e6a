package io.ovrel.bench;

import static java.lang.foreign.ValueLayout.ADDRESS;
import static java.lang.foreign.ValueLayout.JAVA_INT;
import static java.lang.foreign.ValueLayout.JAVA_LONG;

import java.lang.foreign.FunctionDescriptor;
import java.lang.foreign.Linker;
import java.lang.foreign.SymbolLookup;
import java.lang.invoke.MethodHandle;

/**
 * Foreign Function downcalls of the C library's functions, the way an application without
 * our natives would make the same system calls. Plain downcalls: no errno capture, no
 * critical (transition-free) linkage, since these calls may block.
 */
public final class Libc {
    private static final Linker LINKER = Linker.nativeLinker();
    private static final SymbolLookup C = LINKER.defaultLookup();

    public static final MethodHandle READ = handle("read", FunctionDescriptor.of(JAVA_LONG, JAVA_INT, ADDRESS, JAVA_LONG));
    public static final MethodHandle WRITE = handle("write", FunctionDescriptor.of(JAVA_LONG, JAVA_INT, ADDRESS, JAVA_LONG));
    public static final MethodHandle WRITEV = handle("writev", FunctionDescriptor.of(JAVA_LONG, JAVA_INT, ADDRESS, JAVA_INT));
    public static final MethodHandle EPOLL_CREATE1 = handle("epoll_create1", FunctionDescriptor.of(JAVA_INT, JAVA_INT));
    public static final MethodHandle EPOLL_CTL = handle("epoll_ctl",
            FunctionDescriptor.of(JAVA_INT, JAVA_INT, JAVA_INT, JAVA_INT, ADDRESS));
    public static final MethodHandle EPOLL_WAIT = handle("epoll_wait",
            FunctionDescriptor.of(JAVA_INT, JAVA_INT, ADDRESS, JAVA_INT, JAVA_INT));
    public static final MethodHandle SENDTO = handle("sendto",
            FunctionDescriptor.of(JAVA_LONG, JAVA_INT, ADDRESS, JAVA_LONG, JAVA_INT, ADDRESS, JAVA_INT));
    public static final MethodHandle CLOSE = handle("close", FunctionDescriptor.of(JAVA_INT, JAVA_INT));

    private Libc() {
    }

    private static MethodHandle handle(String name, FunctionDescriptor descriptor) {
        return LINKER.downcallHandle(C.find(name).orElseThrow(), descriptor);
    }
}
