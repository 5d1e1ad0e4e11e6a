package io.ovrel.registration;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;

import io.ovrel.demo.NativeLibrary;
import io.ovrel.test.BuildLayout;
import io.ovrel.test.ChildJvm;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Collectors;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * What the library registers, class by class, against the full tables of names and JNI
 * signatures, for the plain library with plain classes and for a prefixed copy with the
 * relocated jar.
 *
 * <p>The JVM's {@code -verbose:jni} log names each registered method
 * ("[Registering JNI native method pkg.Class.method]") but not its signature.
 * RegisterNatives only succeeds when a native method of that name and exactly the
 * registered signature exists, so with no overloaded natives the signature the library
 * registered is the descriptor of the one native of that name, which the child prints.
 */
class NativeRegistrationIT {
    private static final Pattern REGISTERING = Pattern.compile(".*\\[Registering JNI native method (\\S+)\\.(\\w+)\\]$");
    private static final Pattern NATIVE = Pattern.compile("NATIVE (\\S+) (\\w+) (\\S+)");

    /** class (slash-separated, under P) -> "name signature", with P for the package prefix. */
    private static final String EXPECTED = String.join("\n",
            "io/ovrel/channel/kqueue/KQueueStaticallyReferencedJniMethods evfiltRead ()S",
            "io/ovrel/channel/kqueue/KQueueStaticallyReferencedJniMethods evfiltWrite ()S",
            "io/ovrel/channel/kqueue/KQueueStaticallyReferencedJniMethods evfiltUser ()S",
            "io/ovrel/channel/kqueue/KQueueStaticallyReferencedJniMethods evfiltSock ()S",
            "io/ovrel/channel/kqueue/KQueueStaticallyReferencedJniMethods evAdd ()S",
            "io/ovrel/channel/kqueue/KQueueStaticallyReferencedJniMethods evEnable ()S",
            "io/ovrel/channel/kqueue/KQueueStaticallyReferencedJniMethods evDisable ()S",
            "io/ovrel/channel/kqueue/KQueueStaticallyReferencedJniMethods evDelete ()S",
            "io/ovrel/channel/kqueue/KQueueStaticallyReferencedJniMethods evClear ()S",
            "io/ovrel/channel/kqueue/KQueueStaticallyReferencedJniMethods evEOF ()S",
            "io/ovrel/channel/kqueue/KQueueStaticallyReferencedJniMethods evError ()S",
            "io/ovrel/channel/kqueue/KQueueStaticallyReferencedJniMethods noteReadClosed ()S",
            "io/ovrel/channel/kqueue/KQueueStaticallyReferencedJniMethods noteConnReset ()S",
            "io/ovrel/channel/kqueue/KQueueStaticallyReferencedJniMethods noteDisconnected ()S",
            "io/ovrel/channel/kqueue/Native kqueueCreate ()I",
            "io/ovrel/channel/kqueue/Native keventTriggerUserEvent (II)I",
            "io/ovrel/channel/kqueue/Native keventAddUserEvent (II)I",
            "io/ovrel/channel/kqueue/Native keventWait (IJIJIII)I",
            "io/ovrel/channel/kqueue/Native sizeofKEvent ()I",
            "io/ovrel/channel/kqueue/Native offsetofKEventIdent ()I",
            "io/ovrel/channel/kqueue/Native offsetofKEventFlags ()I",
            "io/ovrel/channel/kqueue/Native offsetofKEventFFlags ()I",
            "io/ovrel/channel/kqueue/Native offsetofKEventFilter ()I",
            "io/ovrel/channel/kqueue/Native offsetofKeventData ()I",
            "io/ovrel/channel/kqueue/KQueueEventArray evSet (JISSI)V",
            "io/ovrel/channel/kqueue/BsdSocket setAcceptFilter (ILjava/lang/String;Ljava/lang/String;)V",
            "io/ovrel/channel/kqueue/BsdSocket setTcpNoPush (II)V",
            "io/ovrel/channel/kqueue/BsdSocket setSndLowAt (II)V",
            "io/ovrel/channel/kqueue/BsdSocket getAcceptFilter (I)[Ljava/lang/String;",
            "io/ovrel/channel/kqueue/BsdSocket getTcpNoPush (I)I",
            "io/ovrel/channel/kqueue/BsdSocket getSndLowAt (I)I",
            "io/ovrel/channel/kqueue/BsdSocket sendFile (ILPio/ovrel/channel/DefaultFileRegion;JJJ)J",
            "io/ovrel/channel/kqueue/BsdSocket getPeerCredentials (I)LPio/ovrel/channel/unix/PeerCredentials;",
            "io/ovrel/channel/unix/Socket shutdown (IZZ)I",
            "io/ovrel/channel/unix/Socket bind (IZ[BII)I",
            "io/ovrel/channel/unix/Socket listen (II)I",
            "io/ovrel/channel/unix/Socket connect (IZ[BII)I",
            "io/ovrel/channel/unix/Socket finishConnect (I)I",
            "io/ovrel/channel/unix/Socket disconnect (IZ)I",
            "io/ovrel/channel/unix/Socket accept (I[B)I",
            "io/ovrel/channel/unix/Socket remoteAddress (I)[B",
            "io/ovrel/channel/unix/Socket localAddress (I)[B",
            "io/ovrel/channel/unix/Socket newSocketDgramFd (Z)I",
            "io/ovrel/channel/unix/Socket newSocketStreamFd (Z)I",
            "io/ovrel/channel/unix/Socket newSocketDomainFd ()I",
            "io/ovrel/channel/unix/Socket sendTo (IZLjava/nio/ByteBuffer;II[BII)I",
            "io/ovrel/channel/unix/Socket sendToAddress (IZJII[BII)I",
            "io/ovrel/channel/unix/Socket sendToAddresses (IZJI[BII)I",
            "io/ovrel/channel/unix/Socket recvFd (I)I",
            "io/ovrel/channel/unix/Socket sendFd (II)I",
            "io/ovrel/channel/unix/Socket bindDomainSocket (I[B)I",
            "io/ovrel/channel/unix/Socket connectDomainSocket (I[B)I",
            "io/ovrel/channel/unix/Socket setTcpNoDelay (II)V",
            "io/ovrel/channel/unix/Socket setReusePort (II)V",
            "io/ovrel/channel/unix/Socket setBroadcast (II)V",
            "io/ovrel/channel/unix/Socket setReuseAddress (II)V",
            "io/ovrel/channel/unix/Socket setReceiveBufferSize (II)V",
            "io/ovrel/channel/unix/Socket setSendBufferSize (II)V",
            "io/ovrel/channel/unix/Socket setKeepAlive (II)V",
            "io/ovrel/channel/unix/Socket setSoLinger (II)V",
            "io/ovrel/channel/unix/Socket setTrafficClass (IZI)V",
            "io/ovrel/channel/unix/Socket isKeepAlive (I)I",
            "io/ovrel/channel/unix/Socket isTcpNoDelay (I)I",
            "io/ovrel/channel/unix/Socket isBroadcast (I)I",
            "io/ovrel/channel/unix/Socket isReuseAddress (I)I",
            "io/ovrel/channel/unix/Socket isReusePort (I)I",
            "io/ovrel/channel/unix/Socket getReceiveBufferSize (I)I",
            "io/ovrel/channel/unix/Socket getSendBufferSize (I)I",
            "io/ovrel/channel/unix/Socket getSoLinger (I)I",
            "io/ovrel/channel/unix/Socket getTrafficClass (IZ)I",
            "io/ovrel/channel/unix/Socket getSoError (I)I",
            "io/ovrel/channel/unix/Socket initialize (Z)V",
            "io/ovrel/channel/unix/Socket isIPv6Preferred ()Z",
            "io/ovrel/channel/unix/Socket isIPv6 (I)Z",
            "io/ovrel/channel/unix/Socket recvFrom (ILjava/nio/ByteBuffer;II)LPio/ovrel/channel/unix/DatagramSocketAddress;",
            "io/ovrel/channel/unix/Socket recvFromAddress (IJII)LPio/ovrel/channel/unix/DatagramSocketAddress;",
            "io/ovrel/channel/unix/FileDescriptor close (I)I",
            "io/ovrel/channel/unix/FileDescriptor open (Ljava/lang/String;)I",
            "io/ovrel/channel/unix/FileDescriptor write (ILjava/nio/ByteBuffer;II)I",
            "io/ovrel/channel/unix/FileDescriptor writeAddress (IJII)I",
            "io/ovrel/channel/unix/FileDescriptor writevAddresses (IJI)J",
            "io/ovrel/channel/unix/FileDescriptor writev (I[Ljava/nio/ByteBuffer;IIJ)J",
            "io/ovrel/channel/unix/FileDescriptor read (ILjava/nio/ByteBuffer;II)I",
            "io/ovrel/channel/unix/FileDescriptor readAddress (IJII)I",
            "io/ovrel/channel/unix/FileDescriptor newPipe ()J",
            "io/ovrel/channel/unix/Buffer memoryAddress0 (Ljava/nio/ByteBuffer;)J",
            "io/ovrel/channel/unix/Buffer addressSize0 ()I",
            "io/ovrel/channel/unix/LimitsStaticallyReferencedJniMethods ssizeMax ()J",
            "io/ovrel/channel/unix/LimitsStaticallyReferencedJniMethods iovMax ()I",
            "io/ovrel/channel/unix/LimitsStaticallyReferencedJniMethods uioMaxIov ()I",
            "io/ovrel/channel/unix/LimitsStaticallyReferencedJniMethods sizeOfjlong ()I",
            "io/ovrel/channel/unix/LimitsStaticallyReferencedJniMethods udsSunPathSize ()I",
            "io/ovrel/channel/unix/ErrorsStaticallyReferencedJniMethods errnoENOENT ()I",
            "io/ovrel/channel/unix/ErrorsStaticallyReferencedJniMethods errnoENOTCONN ()I",
            "io/ovrel/channel/unix/ErrorsStaticallyReferencedJniMethods errnoEBADF ()I",
            "io/ovrel/channel/unix/ErrorsStaticallyReferencedJniMethods errnoEPIPE ()I",
            "io/ovrel/channel/unix/ErrorsStaticallyReferencedJniMethods errnoECONNRESET ()I",
            "io/ovrel/channel/unix/ErrorsStaticallyReferencedJniMethods errnoEAGAIN ()I",
            "io/ovrel/channel/unix/ErrorsStaticallyReferencedJniMethods errnoEWOULDBLOCK ()I",
            "io/ovrel/channel/unix/ErrorsStaticallyReferencedJniMethods errnoEINPROGRESS ()I",
            "io/ovrel/channel/unix/ErrorsStaticallyReferencedJniMethods errorECONNREFUSED ()I",
            "io/ovrel/channel/unix/ErrorsStaticallyReferencedJniMethods errorEISCONN ()I",
            "io/ovrel/channel/unix/ErrorsStaticallyReferencedJniMethods errorEALREADY ()I",
            "io/ovrel/channel/unix/ErrorsStaticallyReferencedJniMethods errorENETUNREACH ()I",
            "io/ovrel/channel/unix/ErrorsStaticallyReferencedJniMethods strError (I)Ljava/lang/String;");

    @TempDir
    Path tempDir;

    /** class -> sorted "name signature" lines, with P replaced by the prefix (e.g. "app/shaded/"). */
    private static Map<String, List<String>> expected(String prefix) {
        Map<String, List<String>> byClass = new TreeMap<>();
        for (String line : EXPECTED.split("\n")) {
            String[] parts = line.split(" ");
            String signature = parts[2].replace("LP", "L" + prefix);
            byClass.computeIfAbsent(prefix + parts[0], k -> new ArrayList<>()).add(parts[1] + " " + signature);
        }
        byClass.values().forEach(list -> list.sort(null));
        return byClass;
    }

    @ParameterizedTest(name = "relocated: {0}")
    @ValueSource(booleans = {false, true})
    void everyClassGetsExactlyItsTableOfNamesAndSignatures(boolean relocated) throws IOException {
        Path library = NativeLibrary.configuredPath();
        String dotted = relocated ? BuildLayout.relocationPrefix() + "." : "";
        String slashed = dotted.replace('.', '/');
        ChildJvm child = ChildJvm.main(RegistrationProbe.class).jvmArgs("-verbose:jni");
        if (relocated) {
            library = Files.copy(library, tempDir.resolve(library.getFileName().toString()
                    .replaceFirst("^lib", "lib" + dotted.replace('.', '_'))));
            child.library(library).classpath(BuildLayout.relocatedJar(), BuildLayout.testClasses());
        }
        ChildJvm.Result result = child.args(library.toString(), dotted).run().assertExitCode(0);

        Map<String, String> declared = new HashMap<>();
        List<String> registered = new ArrayList<>();
        for (String line : result.stdoutLines()) {
            Matcher n = NATIVE.matcher(line);
            Matcher r = REGISTERING.matcher(line);
            if (n.matches()) {
                String key = n.group(1).replace('.', '/') + " " + n.group(2);
                // Two natives of one name would make the log's name ambiguous.
                assertFalse(declared.containsKey(key), () -> "overloaded native " + key);
                declared.put(key, n.group(3));
            } else if (r.matches() && r.group(1).startsWith(dotted + "io.ovrel.channel.")) {
                registered.add(r.group(1).replace('.', '/') + " " + r.group(2));
            }
        }

        Map<String, List<String>> actual = new TreeMap<>();
        for (String key : registered) {
            String signature = declared.getOrDefault(key, "<no such native declared>");
            String[] parts = key.split(" ");
            actual.computeIfAbsent(parts[0], k -> new ArrayList<>()).add(parts[1] + " " + signature);
        }
        actual.values().forEach(list -> list.sort(null));
        // Sorted lists keep duplicates: a method registered twice shows up as a mismatch.
        assertEquals(expected(slashed), actual, result::describe);
        // And nothing declared native is left for the JVM to look up by symbol name.
        assertEquals(declared.keySet().stream().sorted().collect(Collectors.toList()),
                registered.stream().sorted().collect(Collectors.toList()), result::describe);
    }
}
