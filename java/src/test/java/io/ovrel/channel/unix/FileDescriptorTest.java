package io.ovrel.channel.unix;

import static io.ovrel.channel.unix.SocketTestSupport.EINVAL;
import static io.ovrel.channel.unix.SocketTestSupport.checked;
import static io.ovrel.channel.unix.SocketTestSupport.closeAll;
import static io.ovrel.channel.unix.SocketTestSupport.direct;
import static io.ovrel.channel.unix.SocketTestSupport.eagain;
import static io.ovrel.channel.unix.SocketTestSupport.readAvailable;
import static io.ovrel.channel.unix.SocketTestSupport.text;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.ovrel.test.NativeLibraryExtension;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

@ExtendWith(NativeLibraryExtension.class)
class FileDescriptorTest {
    private int readEnd = -1;
    private int writeEnd = -1;

    @BeforeEach
    void openPipe() {
        long pipe = FileDescriptor.newPipe();
        assertTrue(pipe >= 0, "newPipe: " + pipe);
        readEnd = (int) (pipe >>> 32);
        writeEnd = (int) pipe;
    }

    @AfterEach
    void closePipe() {
        closeAll(readEnd, writeEnd);
    }

    @Test
    void pipeCarriesDataFromTheLowerHalfToTheUpperHalf() {
        assertNotEquals(readEnd, writeEnd);
        assertEquals(5, FileDescriptor.write(writeEnd, direct("hello"), 0, 5));
        assertEquals("hello", readAvailable(readEnd));
        assertEquals(-ErrorsStaticallyReferencedJniMethods.errnoEBADF(),
                FileDescriptor.write(readEnd, direct("x"), 0, 1), "the upper half is the read end");
    }

    @Test
    void bothPipeEndsAreNonBlocking() {
        ByteBuffer in = ByteBuffer.allocateDirect(16);
        assertEquals(-eagain(), FileDescriptor.read(readEnd, in, 0, 16), "empty read end");
        ByteBuffer chunk = ByteBuffer.allocateDirect(1 << 16);
        int result = 0;
        for (int i = 0; i < 1024 && result >= 0; i++) {
            result = FileDescriptor.write(writeEnd, chunk, 0, chunk.capacity());
        }
        assertEquals(-eagain(), result, "a full pipe refuses instead of blocking");
    }

    @Test
    void readAtEndOfStreamIsZero() {
        FileDescriptor.write(writeEnd, direct("ab"), 0, 2);
        assertEquals(0, FileDescriptor.close(writeEnd));
        writeEnd = -1;
        ByteBuffer in = ByteBuffer.allocateDirect(8);
        assertEquals(2, FileDescriptor.read(readEnd, in, 3, 8));
        assertEquals("ab", text(in, 3, 2));
        assertEquals(0, FileDescriptor.read(readEnd, in, 0, 8));
    }

    @Test
    void closingTwiceGivesEbadf() {
        int ebadf = ErrorsStaticallyReferencedJniMethods.errnoEBADF();
        assertEquals(0, FileDescriptor.close(readEnd));
        assertEquals(-ebadf, FileDescriptor.close(readEnd));
        readEnd = -1;
    }

    @Test
    void transfersThroughRawAddressesUseTheRegionOnly() {
        ByteBuffer out = direct("0123456789");
        long address = Buffer.memoryAddress0(out);
        assertEquals(4, FileDescriptor.writeAddress(writeEnd, address, 2, 6));
        ByteBuffer in = ByteBuffer.allocateDirect(10);
        assertEquals(4, FileDescriptor.readAddress(readEnd, Buffer.memoryAddress0(in), 5, 10));
        assertEquals("2345", text(in, 5, 4));
        assertEquals(0, FileDescriptor.write(writeEnd, out, 3, 3), "pos == limit writes nothing");
    }

    @Test
    void regionsThatCannotBeRealAreRefused() {
        ByteBuffer direct = ByteBuffer.allocateDirect(8);
        ByteBuffer heap = ByteBuffer.allocate(8);
        long address = Buffer.memoryAddress0(direct);
        assertEquals(-EINVAL, FileDescriptor.write(writeEnd, direct, 5, 4));
        assertEquals(-EINVAL, FileDescriptor.read(readEnd, direct, 5, 4));
        assertEquals(-EINVAL, FileDescriptor.write(writeEnd, heap, 0, 4));
        assertEquals(-EINVAL, FileDescriptor.read(readEnd, heap, 0, 4));
        assertEquals(-EINVAL, FileDescriptor.write(writeEnd, null, 0, 4));
        assertEquals(-EINVAL, FileDescriptor.writeAddress(writeEnd, address, 5, 4));
        assertEquals(-EINVAL, FileDescriptor.readAddress(readEnd, address, 5, 4));
        assertEquals(-EINVAL, FileDescriptor.readAddress(readEnd, 0, 0, 4));
        assertEquals("", readAvailable(readEnd), "nothing was written");
    }

    /** Sizes of the buffers, the byte budget, and how many bytes the gathering write takes. */
    static Stream<Arguments> budgets() {
        return Stream.of(
                Arguments.of(new int[] {100, 50, 10}, 150L, 150),
                Arguments.of(new int[] {100, 60, 10}, 150L, 100),
                Arguments.of(new int[] {7}, 0L, 7),
                Arguments.of(new int[] {100, 10}, 50L, 100),
                Arguments.of(new int[] {3, 0, 4}, 3L, 3),
                Arguments.of(new int[] {10, 1}, -5L, 10),
                Arguments.of(new int[] {}, 10L, 0),
                Arguments.of(new int[] {1, 2, 3, 4}, Long.MAX_VALUE, 10));
    }

    @ParameterizedTest(name = "{0} within {1}")
    @MethodSource("budgets")
    void writevTakesBuffersWhileTheyFitTheBudget(int[] sizes, long budget, int expected) {
        // One leading buffer that the offset skips; every buffer starts past position 0.
        ByteBuffer[] buffers = new ByteBuffer[sizes.length + 1];
        buffers[0] = direct("skipped");
        StringBuilder all = new StringBuilder();
        for (int i = 0; i < sizes.length; i++) {
            StringBuilder s = new StringBuilder("##");
            for (int j = 0; j < sizes[i]; j++) {
                s.append((char) ('a' + (i + j) % 26));
            }
            buffers[i + 1] = direct(s.toString());
            buffers[i + 1].position(2);
            all.append(s.substring(2));
        }
        assertEquals(expected, FileDescriptor.writev(writeEnd, buffers, 1, sizes.length, budget));
        assertEquals(all.substring(0, expected), readAvailable(readEnd));
        for (int i = 1; i < buffers.length; i++) {
            assertEquals(2, buffers[i].position(), "positions are Java's to move");
        }
    }

    @Test
    void writevRefusesWhatItCannotGather() {
        ByteBuffer ok = direct("ok");
        ByteBuffer[] withHeap = {ok, ByteBuffer.wrap(new byte[] {1, 2})};
        ByteBuffer[] withNull = {ok, null};
        assertEquals(-EINVAL, FileDescriptor.writev(writeEnd, withHeap, 0, 2, 100));
        assertEquals(-EINVAL, FileDescriptor.writev(writeEnd, withNull, 0, 2, 100));
        assertEquals(-EINVAL, FileDescriptor.writev(writeEnd, null, 0, 1, 100));
        assertEquals(-EINVAL, FileDescriptor.writev(writeEnd, withHeap, 0, -1, 100));
        assertEquals(-EINVAL, FileDescriptor.writev(writeEnd, withHeap, 0,
                LimitsStaticallyReferencedJniMethods.iovMax() + 1, 100));
        assertEquals("", readAvailable(readEnd), "nothing was written");
    }

    @Test
    void writevOfIovecsLaidOutInNativeMemory() {
        ByteBuffer a = direct("abc");
        ByteBuffer b = direct("defg");
        ByteBuffer iov = ByteBuffer.allocateDirect(32).order(ByteOrder.nativeOrder());
        iov.putLong(0, Buffer.memoryAddress0(a)).putLong(8, 3);
        iov.putLong(16, Buffer.memoryAddress0(b) + 1).putLong(24, 2);
        assertEquals(5, FileDescriptor.writevAddresses(writeEnd, Buffer.memoryAddress0(iov), 2));
        assertEquals("abcef", readAvailable(readEnd));
    }

    @Test
    void openCreatesOrTruncatesAWriteOnlyFile(@TempDir Path dir) throws IOException {
        Path missing = dir.resolve("created");
        int fd = checked(FileDescriptor.open(missing.toString()), "open");
        assertEquals(3, FileDescriptor.write(fd, direct("new"), 0, 3));
        assertEquals(-ErrorsStaticallyReferencedJniMethods.errnoEBADF(),
                FileDescriptor.read(fd, ByteBuffer.allocateDirect(4), 0, 4), "write-only");
        FileDescriptor.close(fd);
        assertArrayEquals("new".getBytes(StandardCharsets.US_ASCII), Files.readAllBytes(missing));

        fd = checked(FileDescriptor.open(missing.toString()), "open");
        FileDescriptor.close(fd);
        assertEquals(0, Files.size(missing), "an existing file is truncated");

        assertEquals(-ErrorsStaticallyReferencedJniMethods.errnoENOENT(),
                FileDescriptor.open(dir.resolve("no/such/dir").toString()));
    }
}
