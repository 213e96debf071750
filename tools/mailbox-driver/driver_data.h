/* The data the driver installs, generated at build time from the demo firmware by
 * kestrel-mkdriverdata: the identification table, the package lists of the form sets it
 * registers and the variable their questions store in (created when absent). */
#ifndef KESTREL_DRIVER_DATA_H
#define KESTREL_DRIVER_DATA_H

#include <stdint.h>

extern const uint8_t kes_driver_fidt[];
extern const uint32_t kes_driver_fidt_size;
extern const uint8_t kes_driver_package_lists[]; /* one after the other, each with its length */
extern const uint32_t kes_driver_package_lists_size;
extern const uint16_t kes_driver_variable_name[]; /* UTF-16, terminated */
extern const uint8_t kes_driver_variable_guid[16];
extern const uint32_t kes_driver_variable_attributes;
extern const uint8_t kes_driver_variable_data[];
extern const uint32_t kes_driver_variable_data_size;

#endif
