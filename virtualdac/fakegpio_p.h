#ifndef FAKEGPIO_P_H
#define FAKEGPIO_P_H

// What fakespidev.cpp's replaced open, close and ioctl ask of the GPIO chip.

namespace fakegpio::interposed {

// Opens the chip's node or its sysfs "dev" attribute: true and the descriptor
// (or -1 and errno) in *fd; false for any other path.
bool open(const char *path, int *fd);
// Without a lock: false for a descriptor that is neither the chip's nor a handle's.
bool mayOwn(int fd);
// The chip's or a handle's request: true and the ioctl's result in *result.
bool ioctl(int fd, unsigned long request, void *arg, int *result);
// Before the C library closes fd: a handle's lines are released.
void closing(int fd);

} // namespace fakegpio::interposed

#endif // FAKEGPIO_P_H
