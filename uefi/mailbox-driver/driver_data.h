/* The data the driver installs, generated at build time from the demo firmware by
 * kestrel-mkdriverdata: the identification table, the package lists of the form sets it
 * registers, the variable their questions store in (created when absent) and the platform policy
 * the driver applies to it at every boot. */
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
/* The platform policy applied at every boot (see apply_platform_policy in driver.c): the value of
 * the question `prompt` (its bytes in the variable) is clamped to `limit`. */
extern const uint16_t kes_driver_policy_prompt[]; /* UTF-16, terminated */
extern const uint32_t kes_driver_policy_offset;
extern const uint32_t kes_driver_policy_width;
extern const uint64_t kes_driver_policy_limit;

#endif
