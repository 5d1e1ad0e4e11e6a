package io.ovrel.channel.unix;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;

import io.ovrel.test.NativeLibraryExtension;
import java.lang.reflect.Field;
import java.nio.ByteBuffer;
import java.util.function.Supplier;
import java.util.stream.Stream;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

@ExtendWith(NativeLibraryExtension.class)
class BufferTest {
    /** java.nio.Buffer.address: the JDK's own record of where a direct buffer's storage starts. */
    private static Field addressField;

    @BeforeAll
    static void openBufferAddress() throws NoSuchFieldException {
        // needs --add-opens java.base/java.nio=ALL-UNNAMED (set in the test argLine)
        addressField = java.nio.Buffer.class.getDeclaredField("address");
        addressField.setAccessible(true);
    }

    private static long jdkAddress(ByteBuffer buffer) throws IllegalAccessException {
        return addressField.getLong(buffer);
    }

    static Stream<Arguments> heapBuffers() {
        return Stream.of(
                Arguments.of("allocate", (Supplier<ByteBuffer>) () -> ByteBuffer.allocate(16)),
                Arguments.of("wrap with offset", (Supplier<ByteBuffer>) () -> ByteBuffer.wrap(new byte[16], 4, 8)),
                Arguments.of("read-only", (Supplier<ByteBuffer>) () -> ByteBuffer.allocate(16).asReadOnlyBuffer()));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("heapBuffers")
    void heapBufferHasNoAddress(String name, Supplier<ByteBuffer> buffer) {
        assertEquals(0, Buffer.memoryAddress0(buffer.get()));
    }

    static Stream<Arguments> directBuffers() {
        return Stream.of(
                Arguments.of("fresh", (Supplier<ByteBuffer>) () -> ByteBuffer.allocateDirect(64)),
                Arguments.of("position and limit moved",
                        (Supplier<ByteBuffer>) () -> ByteBuffer.allocateDirect(64).position(10).limit(20)),
                Arguments.of("slice from 5", (Supplier<ByteBuffer>) () -> ByteBuffer.allocateDirect(64).slice(5, 20)),
                Arguments.of("duplicate", (Supplier<ByteBuffer>) () -> ByteBuffer.allocateDirect(64).duplicate()),
                Arguments.of("read-only",
                        (Supplier<ByteBuffer>) () -> ByteBuffer.allocateDirect(64).asReadOnlyBuffer()),
                Arguments.of("empty", (Supplier<ByteBuffer>) () -> ByteBuffer.allocateDirect(0)));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("directBuffers")
    void directBufferAddressIsWhereItsStorageStarts(String name, Supplier<ByteBuffer> supplier)
            throws IllegalAccessException {
        ByteBuffer buffer = supplier.get();
        long address = Buffer.memoryAddress0(buffer);
        assertNotEquals(0, address);
        assertEquals(jdkAddress(buffer), address);
    }

    @Test
    void addressDoesNotFollowThePosition() {
        ByteBuffer buffer = ByteBuffer.allocateDirect(32);
        long start = Buffer.memoryAddress0(buffer);
        buffer.position(17).limit(25);
        assertEquals(start, Buffer.memoryAddress0(buffer));
        buffer.put((byte) 1).flip();
        assertEquals(start, Buffer.memoryAddress0(buffer));
    }

    @Test
    void addressSizeMatchesTheJvmDataModel() {
        int expected = "64".equals(System.getProperty("sun.arch.data.model")) ? 8 : 4;
        assertEquals(expected, Buffer.addressSize0());
    }
}
