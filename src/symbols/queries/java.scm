; Definitions. Later patterns win on the same name.

(enum_declaration name: (identifier) @name) @definition.enum
(enum_constant name: (identifier) @name) @definition.enumerator
(record_declaration name: (identifier) @name) @definition.class
(annotation_type_declaration name: (identifier) @name) @definition.interface
(constructor_declaration name: (identifier) @name) @definition.method
(field_declaration declarator: (variable_declarator name: (identifier) @name)) @definition.field
(constant_declaration declarator: (variable_declarator name: (identifier) @name)) @definition.constant
(interface_body (method_declaration name: (identifier) @name) @definition.method)
(package_declaration [(identifier) (scoped_identifier)] @name) @definition.module

; References.

(type_identifier) @name @reference.type
(type_parameter (type_identifier) @ignore)
(object_creation_expression type: (type_identifier) @name) @reference.new
(object_creation_expression type: (generic_type (type_identifier) @name)) @reference.new
(super_interfaces (type_list (type_identifier) @name)) @reference.implementation
(super_interfaces (type_list (generic_type (type_identifier) @name))) @reference.implementation
(method_invocation name: (identifier) @name) @reference.call
(import_declaration (scoped_identifier name: (identifier) @name)) @reference.import
(marker_annotation name: (identifier) @name) @reference.type
(annotation name: (identifier) @name) @reference.type
