package io.ovrel.registration;

import java.lang.invoke.MethodType;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;

/**
 * Child main: loads the library given as the first argument, then prints every native
 * method the nine classes declare, with its JNI descriptor, as
 * "NATIVE binary-class-name method descriptor". The classes are looked up under the
 * package prefix given as the second argument ("" or e.g. "app.shaded."), so the probe
 * runs against plain and relocated classes alike.
 */
public final class RegistrationProbe {
    static final String[] CLASSES = {
        "io.ovrel.channel.kqueue.KQueueStaticallyReferencedJniMethods",
        "io.ovrel.channel.kqueue.Native",
        "io.ovrel.channel.kqueue.KQueueEventArray",
        "io.ovrel.channel.kqueue.BsdSocket",
        "io.ovrel.channel.unix.Socket",
        "io.ovrel.channel.unix.FileDescriptor",
        "io.ovrel.channel.unix.Buffer",
        "io.ovrel.channel.unix.LimitsStaticallyReferencedJniMethods",
        "io.ovrel.channel.unix.ErrorsStaticallyReferencedJniMethods",
    };

    private RegistrationProbe() {
    }

    public static void main(String[] args) throws ClassNotFoundException {
        System.load(args[0]);
        String prefix = args.length > 1 ? args[1] : "";
        for (String name : CLASSES) {
            Class<?> type = Class.forName(prefix + name, false, RegistrationProbe.class.getClassLoader());
            for (Method m : type.getDeclaredMethods()) {
                if (Modifier.isNative(m.getModifiers())) {
                    String descriptor = MethodType.methodType(m.getReturnType(), m.getParameterTypes())
                            .toMethodDescriptorString();
                    System.out.println("NATIVE " + type.getName() + " " + m.getName() + " " + descriptor);
                }
            }
        }
    }
}
